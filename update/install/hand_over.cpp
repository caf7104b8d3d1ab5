#include "update/install/hand_over.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "base/cmdline.h"
#include "base/fsutil.h"
#include "base/paths.h"

namespace zt {
namespace {

struct NamedRead {
  LocalRead read;
  const char* name;
};
constexpr NamedRead kReads[] = {
    {LocalRead::Loaded, "loaded"}, {LocalRead::Missing, "missing"}, {LocalRead::Unreadable, "unreadable"}};

const char* StageName(HandOverStage stage) { return stage == HandOverStage::Confirmed ? "confirmed" : "started"; }

std::string Leaf(std::string_view suffix) { return std::string(kExeName) + std::string(suffix); }

}  // namespace

std::string FormatReplacementRecord(const ReplacementRecord& r) {
  const char* read = "missing";
  for (const NamedRead& n : kReads)
    if (n.read == r.previousDescriptor) read = n.name;
  return "version=" + r.version + "\nexe=" + PathToUtf8(r.exe) +
         "\nprevious_process=" + std::to_string(r.previousProcess) + "\nnew_process=" + std::to_string(r.newProcess) +
         "\nprevious_descriptor=" + read + "\nstage=" + StageName(r.stage) + "\n";
}

std::optional<ReplacementRecord> ParseReplacementRecord(std::string_view text) {
  std::optional<std::string> version, exe, previous, created, read, stage;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    std::string value(line.substr(eq + 1));
    for (auto [name, slot] :
         {std::pair{"version", &version}, std::pair{"exe", &exe}, std::pair{"previous_process", &previous},
          std::pair{"new_process", &created}, std::pair{"previous_descriptor", &read}, std::pair{"stage", &stage}})
      if (key == name) *slot = value;
  }
  if (!version || version->empty() || !exe || exe->empty() || !previous || !created || !read || !stage)
    return std::nullopt;
  ReplacementRecord r;
  r.version = *version;
  r.exe = PathFromUtf8(*exe);
  const auto previousId = ParseProcessId(*previous), newId = ParseProcessId(*created);
  if (!previousId || !newId) return std::nullopt;
  r.previousProcess = *previousId;
  r.newProcess = *newId;
  bool known = false;
  for (const NamedRead& n : kReads)
    if (*read == n.name) r.previousDescriptor = n.read, known = true;
  if (!known) return std::nullopt;
  if (*stage == "started") {
    r.stage = HandOverStage::Started;
  } else if (*stage == "confirmed") {
    r.stage = HandOverStage::Confirmed;
  } else {
    return std::nullopt;
  }
  return r;
}

bool WriteReplacementRecord(const std::filesystem::path& file, const ReplacementRecord& record,
                            const ReplaceFileFn& replace, std::string& reason) {
  const std::string text = FormatReplacementRecord(record);
  // A value with a line break of its own would read back as another record.
  if (std::count(text.begin(), text.end(), '\n') != 6 || text.find('\r') != std::string::npos) {
    reason = "a value holds a line break";
    return false;
  }
  TempFile temp(file.parent_path(), PathToUtf8(file.filename()));
  if (!temp.Open() || !temp.Write(text)) {
    reason = "cannot write " + PathToUtf8(temp.Path());
    return false;
  }
  return temp.CommitTo(file, replace, reason);
}

std::optional<ReplacementRecord> ReadReplacementRecord(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseReplacementRecord(text);
}

HalfDoneRepair DecideHalfDoneRepair(const HalfDoneFacts& f) {
  HalfDoneRepair r;
  if (f.handOverRuns) {
    r.found = "found a self-update under way (a process its record names still runs): left as it is";
    return r;
  }
  if (!f.stage && !f.placed && !f.old) return r;
  const bool started = f.stage == HandOverStage::Started, confirmed = f.stage == HandOverStage::Confirmed;
  const std::string named = "new version " + f.version;
  if (!f.exe) {
    if (f.old) {
      r.restoreOld = true;
      r.removePlaced = f.placed;
      r.rememberFailed = started;
      r.found = "found the executable missing and the previous version aside as " + Leaf(kOldExecutableSuffix) +
                ": it is put back";
      if (f.placed) r.found += "; " + (f.stage ? named : "a new copy") + " beside it is removed";
    } else if (f.placed && confirmed) {
      r.takePlaced = true;
      r.found = "found the executable missing and " + named + ", which had confirmed that it runs, beside it: it " +
                "takes the executable's place";
    } else {
      r.found = "found the executable missing, and beside it " + (f.stage ? named : "a new copy") +
                " that never confirmed: nothing that has shown that it runs can take its place";
      return r;  // the record stays for whoever can do more
    }
    r.removeRecord = f.stage.has_value();
    return r;
  }
  r.removePlaced = f.placed;
  r.removeOld = f.old;
  r.rememberFailed = started;
  r.removeRecord = f.stage.has_value();
  if (started) {
    r.found = "found " + named + " started and never confirmed" +
              (f.placed ? ": it is removed" : " (its copy is gone)") + " and not fetched again";
  } else if (confirmed && f.placed) {
    r.found = "found " + named + " confirmed but not yet in the executable's place: it is removed and fetched " +
              "again, the executable keeps the previous version";
  } else if (confirmed) {
    r.found = "found " + named + " in the executable's place: the self-update is complete";
  } else if (f.placed) {
    r.found = "found a new copy " + Leaf(kNewExecutableSuffix) + " that was never started: it is removed";
  }
  if (f.old)
    r.found += std::string(r.found.empty() ? "found" : ";") + " the previous version's copy " +
               Leaf(kOldExecutableSuffix) + " is removed";
  return r;
}

std::optional<std::string> ConfirmationProblem(LocalRead own, std::optional<LocalRead> previous,
                                               const std::optional<std::string>& serverProblem) {
  if (own == LocalRead::Unreadable && previous.value_or(LocalRead::Loaded) != LocalRead::Unreadable)
    return std::string("it cannot read the installed ") + kDescriptorName + ", which the previous version read";
  if (serverProblem) return "it cannot resolve its server's address: " + *serverProblem;
  return std::nullopt;
}

ExecutableTakeOver::ExecutableTakeOver(std::filesystem::path placed, std::filesystem::path exe, ReplaceFileFn replace,
                                       int attempts)
    : m_placed(std::move(placed)),
      m_exe(std::move(exe)),
      m_replace(replace ? std::move(replace) : ReplaceFileFn(RenameReplacing)),
      m_attemptsLeft(attempts) {}

ExecutableTakeOver::Step ExecutableTakeOver::Look(bool confirmed, bool previousRuns, std::string& reason) {
  if (m_done || !confirmed || previousRuns) return Step::Waiting;
  // One rename over the executable: its path holds the previous version or this one, never neither.
  if (m_replace(m_placed, m_exe, reason)) {
    m_done = true;
    return Step::Moved;
  }
  if (--m_attemptsLeft > 0) return Step::Waiting;
  m_done = true;
  return Step::GaveUp;
}

}  // namespace zt
