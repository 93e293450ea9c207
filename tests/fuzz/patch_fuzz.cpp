// Both passes of the patch file reader over arbitrary bytes. Besides the
// sanitizers, checks the outcomes against plain restatements of the format
// rules that are easy to get right independently.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "patch/PatchText.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// The checksum by the plain rule: drop CR, stop at 0x1A or the first "E".
std::int32_t ReferenceSum(const std::uint8_t* data, std::size_t size, bool& sawEndMark) {
  std::int64_t sum = 0;
  sawEndMark = false;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t b = data[i];
    if (b == 0x1A) break;
    if (b == 'E') {
      sawEndMark = true;
      break;
    }
    if (b == 0x0D) continue;
    sum += static_cast<std::int8_t>(b);
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(sum)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  patchfile::TMemorySource first(data, size);
  patchfile::TPatchText firstText(first);
  patchfile::TChecksumOutcome check = patchfile::CheckPatchText(firstText);
  bool sawEndMark = false;
  Require(check.Sum == ReferenceSum(data, size, sawEndMark));
  if (!sawEndMark) Require(check.Result == patchfile::TChecksumResult::crMalformed);
  if (check.Result == patchfile::TChecksumResult::crMatch) Require(check.Stored == check.Sum);
  if (check.Result == patchfile::TChecksumResult::crMismatch) Require(check.Stored != check.Sum);

  // Guard cells around the image catch any write outside it.
  struct {
    std::int32_t before[4];
    std::int32_t values[ImageLength];
    std::int32_t after[4];
  } image{};
  patchfile::TMemorySource second(data, size);
  patchfile::TPatchText secondText(second);
  patchfile::TEntriesOutcome entries = patchfile::ApplyPatchText(secondText, image.values);
  for (std::int32_t g : image.before) Require(g == 0);
  for (std::int32_t g : image.after) Require(g == 0);
  Require(entries.LineEntries <= patchfile::kMaxLineEntries + 1);
  Require(entries.Stored <= patchfile::kMaxLineEntries + 2);
  if (entries.Result == patchfile::TEntriesResult::erApplied) {
    Require(sawEndMark);
    Require(entries.Stored == entries.LineEntries + 1);
  }
  return 0;
}
