// Opening a URL with the desktop's handler for its scheme.
//
// Threads: main thread only.
#pragma once

#include <memory>
#include <string>

namespace corvane::platform::ui {

class Workspace {
 public:
  static std::shared_ptr<Workspace> sharedWorkspace();
  // Answers false for a URL that does not parse or that no handler opened.
  bool openURL(const std::string& url);
};

}  // namespace corvane::platform::ui
