// Symbolic-link entries of the zip extraction: reading a link's target (no longer than a path
// can be), judging where it resolves in the tree unpacked so far, and making the link.
//
// A link is judged by walking its target through what is on disk below the destination: a
// folder is entered, a link already there is followed (its own target walked the same way),
// ".." leaves the folder reached so far. The target is refused when it is absolute, when a
// ".." would leave the destination, when a ".." follows a component that is not an existing
// folder (a later entry could still make that component a link), or after 40 links. A link
// that a judged link resolves through is pinned: no later link entry of the same extraction
// may be made at its path (whatever stands there by then), so the judgement stays true until
// the end. Folders are never replaced by the extraction, so the folders a judgement entered
// stay too.
//
// Threads: one extraction's; nothing is shared.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "installer/zip_entry_data.h"

namespace corvane::extraction {

// The longest link target (a path of PATH_MAX bytes with its terminating NUL).
inline constexpr std::uint64_t kMaxLinkTarget = 4095;

struct LinkTarget {
  DataStatus status = DataStatus::Complete;
  std::string target;
  std::optional<std::string> refusal;  // too long, or holding a NUL
};

// Reads the open current entry of `zip` as a link target of at most kMaxLinkTarget bytes; a
// longer one is refused after reading no more than one byte past the bound.
LinkTarget readLinkTarget(void* zip, std::uint64_t declaredSize, std::uint64_t crc);

class LinkJudge {
 public:
  // Judges against the tree below the folder `root` (a descriptor the caller keeps open).
  explicit LinkJudge(int root) : root_(root) {}

  // Whether a link at `link` (components below the destination) pointing to `target`
  // resolves inside the destination; `reason` (not null) says why not.
  bool resolvesInside(const std::vector<std::string>& link, const std::string& target,
                      std::string* reason);
  // Whether a judged link resolves through the link at `path`.
  bool isPinned(const std::vector<std::string>& path) const;

 private:
  enum class Found { Folder, Link, Other };
  // Walks `target` from the folder `at` (updated to where it leads); `certain` says whether
  // `at` is an existing folder.
  bool walk(std::vector<std::string>& at, bool& certain, const std::string& target, int& hops,
            std::string* reason);
  Found look(const std::vector<std::string>& path, std::string* linkTarget) const;

  const int root_;
  std::set<std::string> pinned_;
};

// Makes the link `leaf` in folder `dir` pointing to `target`. Something other than a folder
// already there is replaced when `overwrite` is on (kept otherwise). False when the link was
// not made.
bool makeLink(int dir, const std::string& leaf, const std::string& target, bool overwrite);

}  // namespace corvane::extraction
