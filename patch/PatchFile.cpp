#include "patch/PatchFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "patch/PatchText.h"
#include "platform/Platform.h"
#include "protocol/ConfigImage.h"
#include "protocol/RunHost.h"

using namespace patchfile;

namespace {

// The file of the pass in progress; at most one pass has it open, and it is
// closed before every message.
std::FILE* g_file = nullptr;

// The bytes the checksum pass read from a file whose checksum matched: the
// entry pass applies exactly these, or nothing.
std::vector<std::uint8_t> g_verified;

class TFileSource final : public TByteSource {
 public:
  int ReadByte() override {
    int c = std::fgetc(g_file);
    return c == EOF ? -1 : c;
  }
};

void ClosePatchFile() {
  if (g_file != nullptr) {
    std::fclose(g_file);
    g_file = nullptr;
  }
}

// Binary mode: TPatchText does the text-mode reading itself.
void OpenPatchFile() {
  g_file = std::fopen(kFileName, "rb");
  if (g_file == nullptr) {
    RunHost().ShowErrorMessage(kCannotOpenText);
    RunHost().EndRun();
  }
}

}  // namespace

void ReportPatchFileFault() {
  ClosePatchFile();
  RunHost().ShowErrorMessage(kFaultText);
  RunHost().EndRun();
  std::abort();  // not reached: EndRun ends the process
}

void VerifyPatchFile() {
  OpenPatchFile();
  TFileSource source;
  TChecksumOutcome outcome = VerifyPatchSource(source, g_verified);
  if (outcome.Result == TChecksumResult::crMalformed) ReportPatchFileFault();
  ClosePatchFile();
  if (outcome.Result == TChecksumResult::crMismatch) {
    RunHost().ShowErrorMessage(kChecksumText);
    platform::Current().RemoveFile(kFileName);
    RunHost().EndRun();
  }
}

void ApplyPatchFile() {
  OpenPatchFile();
  TFileSource source;
  TEntriesOutcome outcome = ApplyVerifiedSource(source, g_verified, ConfigImage.Values);
  std::vector<std::uint8_t>().swap(g_verified);
  if (outcome.Result != TEntriesResult::erApplied) ReportPatchFileFault();
  ClosePatchFile();
}
