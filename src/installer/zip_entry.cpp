#include "installer/zip_entry.h"

#include "installer/zip_file_system.h"

namespace corvane::extraction {

namespace {

constexpr std::uint64_t kUnixHost = 3;
constexpr std::uint64_t kFileTypeMask = 0xF0000000u;
constexpr std::uint64_t kSymlinkType = 0xA0000000u;

// The name's components below the destination; the reason when the name leaves it.
std::optional<std::string> components(const std::string& name, std::vector<std::string>* out) {
  if (!name.empty() && name[0] == '/') return "absolute path";
  out->clear();
  for (auto& part : splitPath(name)) {
    if (part == ".") continue;
    if (part == "..") return "\"..\" component";
    out->push_back(std::move(part));
  }
  return std::nullopt;
}

}  // namespace

EntryPlan classifyEntry(const EntryHeader& header) {
  EntryPlan plan;
  plan.name = std::string(header.storedName.c_str());  // a NUL inside the stored name ends it
  const bool isLink = ((header.versionMadeBy >> 8) == kUnixHost) &&
                      ((header.externalAttributes & kFileTypeMask) == kSymlinkType);
  const bool isFolder = !plan.name.empty() && (plan.name.back() == '/' || plan.name.back() == '\\');
  plan.kind = isLink ? EntryKind::Link : isFolder ? EntryKind::Folder : EntryKind::File;
  for (char& c : plan.name) {
    if (c == '\\') c = '/';
  }
  plan.date = dosDateToReference(header.dosDate);
  plan.refusal = components(plan.name, &plan.parts);
  if (!plan.refusal && plan.parts.empty() && plan.kind != EntryKind::Folder) {
    plan.refusal = "empty name";
  }
  return plan;
}

}  // namespace corvane::extraction
