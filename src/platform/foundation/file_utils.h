// File helpers over POSIX: existence, folders, removal, moves, dates, permissions, folder
// listing, and the user's home and temporary folders and full name.
//
// Dates are seconds since the reference date (2001-01-01 00:00:00 UTC). Failing calls
// answer false / std::nullopt and, where an `Error*` is given (may be null), fill it with
// domain "POSIXErrorDomain", the errno value as code and a description naming the path.
// All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace corvane::platform::files {

// Whether something (file, folder, or a symbolic link, even a dangling one) is at `path`;
// `isDirectory` (may be null) is set when it is a folder (following links).
bool exists(const std::string& path, bool* isDirectory = nullptr);

// Creates a folder. With `withIntermediates` the missing parents are made too and an
// existing folder counts as success. `modificationDate`, when given, is set on every
// folder this call creates.
bool createDirectory(const std::string& path, bool withIntermediates, Error* error = nullptr,
                     std::optional<double> modificationDate = std::nullopt);
// Creates (or truncates) a file holding `contents`.
bool createFile(const std::string& path, const std::vector<std::uint8_t>& contents = {},
                Error* error = nullptr);
// Removes a file, link or folder with everything in it (links are not followed).
bool remove(const std::string& path, Error* error = nullptr);
// Moves (renames) an item; fails when something already exists at `to`.
bool move(const std::string& from, const std::string& to, Error* error = nullptr);
// The names of a folder's entries (without "." and ".."), in listing order.
std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                            Error* error = nullptr);

std::optional<double> modificationDate(const std::string& path);
// Fails with EINVAL for a date that is not finite.
bool setModificationDate(const std::string& path, double date, Error* error = nullptr);
// The birth time where the file system records it, else the modification date.
std::optional<double> creationDate(const std::string& path);
std::optional<std::uint64_t> fileSize(const std::string& path);
// The permission bits (07777) of the item (following links).
std::optional<std::uint32_t> posixPermissions(const std::string& path);
bool setPosixPermissions(const std::string& path, std::uint32_t permissions,
                         Error* error = nullptr);

// The last path component ("a/b.c" -> "b.c"; trailing slashes ignored).
std::string lastPathComponent(const std::string& path);
// `path` + "/" + `component`, without doubling the slash.
std::string appendingPathComponent(const std::string& path, const std::string& component);

// $HOME when set and not empty, else the password database's home, else "/".
std::string homeDirectory();
// <home>/Library: the user's library folder (support and log folders live under it).
std::string userLibraryDirectory();
// The user's private temporary folder, ending with "/": $XDG_RUNTIME_DIR when it is a folder
// (not a link) of the user's own with mode 0700; else "corvane-<uid>" in $TMPDIR (when set and
// not empty, else "/tmp"), made with mode 0700 when missing and used only when it is such a
// private folder; else a folder made there with mkdtemp (once per process while it exists).
// A folder that is somebody else's, a link, or open to others is never answered. "" when no
// private folder can be made.
std::string temporaryDirectory();
// The user's full name from the password database (first field of the comment), else the
// login name, else "".
std::string fullUserName();

}  // namespace corvane::platform::files
