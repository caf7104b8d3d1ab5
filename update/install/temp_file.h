// Files that appear whole or not at all: a temporary file beside its target, written and pushed
// to the disk through one handle and moved over the target only when complete, the unique names
// of such files, and the clean-up of those a crash left behind. Portable (no <windows.h>).
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

// Moves `from` over `to`, replacing it; false and a reason when it cannot.
using ReplaceFileFn =
    std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason)>;
// The portable replacement (std::filesystem::rename); the Windows glue passes MoveReplacing
// (temp_file_win.h).
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason);

// A temporary name in the same folder: `name`, a random part nobody can guess, and ".ztpart". Two
// transfers of the same file never share a partial file, and another account cannot put a file
// (or a link to one of this user's files) in its place before it is made.
std::filesystem::path UniqueTempPath(const std::filesystem::path& folder, std::string_view name);

// Why a file with `links` names (hard links) is not written through, or nullopt: any other name may
// be another account's way into one of this user's files. 0 means the count could not be read.
std::optional<std::string> ExtraNamesProblem(const std::filesystem::path& file, std::uint32_t links);
// How many names the file open as C runtime descriptor `fd` has (0 when it cannot be told): fstat's
// count, unless the Windows glue has given one that asks the file's own handle.
using LinkCounter = std::uint32_t (*)(int fd);
void SetLinkCounter(LinkCounter count);
// Removes the regular files in `folder` that `ours` claims by name and that were last written more
// than `maxAge` ago. Returns how many were removed.
int RemoveStaleFiles(const std::filesystem::path& folder, std::chrono::hours maxAge,
                     const std::function<bool(std::string_view leaf)>& ours);
// Removes `file` when it is there; a failure is ignored.
void RemoveQuietly(const std::filesystem::path& file);
// Removes temporary files (".ztpart") left in `folder` by transfers that never finished, older
// than `maxAge`. Returns how many were removed.
int RemoveStaleTempFiles(const std::filesystem::path& folder, std::chrono::hours maxAge);

// A file written through one C stream and pushed to the disk through that same stream, so that
// it can be moved into place without being opened a second time by path.
class FileWriter {
 public:
  FileWriter() = default;
  ~FileWriter();  // closes, without Sync
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Creates `path`, which must not exist yet (CREATE_NEW): a name that someone else made first is
  // never written through. False when it cannot.
  bool Create(const std::filesystem::path& path);
  // Opens `path`, which must exist, to write at its end; false when it cannot or when the file has
  // more than one name (ExtraNamesProblem).
  bool Append(const std::filesystem::path& path);
  bool IsOpen() const { return m_file != nullptr; }
  // Why the last Create or Append failed.
  const std::string& Problem() const { return m_problem; }
  // False when the bytes were not all written, and for every call after such a failure.
  bool Write(std::string_view bytes);
  // Pushes what was written to the disk; false when it cannot.
  bool Sync();
  // False when a write, the sync or the close failed.
  bool Close();

 private:
  bool Open(const std::filesystem::path& path, bool append);

  std::FILE* m_file = nullptr;
  bool m_failed = false;
  std::string m_problem;
};

// A temporary file beside its target that removes itself unless it is committed: the target is
// only ever the old file or the whole new one, and a crash leaves a stale temporary file that the
// next start removes.
class TempFile {
 public:
  TempFile(const std::filesystem::path& folder, std::string_view name);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  // Creates the file for writing (it must not exist yet); false when it cannot.
  bool Open();
  bool Write(std::string_view bytes);
  // Fills the file with a copy of `source` (instead of Open and Write); false and a reason when it
  // cannot.
  bool CopyFrom(const std::filesystem::path& source, std::string& reason);
  // Pushes what was written to the disk, closes the file and moves it over `target` with
  // `replace` (RenameReplacing when empty); false and a reason when it cannot, the target then
  // untouched.
  bool CommitTo(const std::filesystem::path& target, const ReplaceFileFn& replace, std::string& reason);

 private:
  std::filesystem::path m_path;
  FileWriter m_out;
  bool m_committed = false;
};

// Copies `from` to `to` through a TempFile, so `to` is either the old file or a whole new copy.
// False and a reason when it could not.
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const ReplaceFileFn& replace,
                   std::string& reason);

}  // namespace zt
