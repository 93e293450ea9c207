// Both passes of the patch file reader over arbitrary bytes, as the run makes
// them. Besides the sanitizers, checks the outcomes against plain
// restatements of the format rules that are easy to get right independently,
// and that the entry pass stores nothing the checksum did not cover.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "patch/PatchText.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// The characters as a text file reads them: CR dropped, 0x1A ends the file.
std::string TextOf(const std::uint8_t* data, std::size_t size) {
  std::string t;
  for (std::size_t i = 0; i < size && data[i] != 0x1A; ++i)
    if (data[i] != 0x0D) t += static_cast<char>(data[i]);
  return t;
}

// The checksum by the plain rule: the characters before the first "E".
std::int32_t ReferenceSum(const std::string& text) {
  std::int64_t sum = 0;
  for (char c : text) {
    if (c == 'E') break;
    sum += static_cast<std::int8_t>(c);
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(sum)));
}

// A "%d" number of the entry list; false for none, or one outside int32.
bool Number(const std::string& t, std::size_t& pos, std::int32_t& v) {
  while (pos < t.size() && std::string(" \t\n\v\f\r").find(t[pos]) != std::string::npos) ++pos;
  bool negative = false;
  if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) negative = t[pos++] == '-';
  if (pos >= t.size() || t[pos] < '0' || t[pos] > '9') return false;
  std::int64_t m = 0;
  for (; pos < t.size() && t[pos] >= '0' && t[pos] <= '9'; ++pos)
    m = std::min<std::int64_t>(m * 10 + (t[pos] - '0'), 1LL << 40);
  m = negative ? -m : m;
  if (m < INT32_MIN || m > INT32_MAX) return false;
  v = static_cast<std::int32_t>(m);
  return true;
}

struct TReference {
  bool applied = false;
  int stored = 0;
  int lineEntries = 0;
  bool skippedE = false;  // an "E" stood between an index and its ";"
  std::int32_t values[ImageLength] = {};
};

// The entry rules as the format states them. `skipE` reads an "E" between an
// index and its ";" like any other character there, as the reader once did.
TReference ReferenceEntries(const std::string& t, bool skipE) {
  TReference r;
  std::size_t pos = 0;
  for (;;) {
    std::int32_t index = 0, value = 0;
    if (!Number(t, pos, index) || index < 0 || index >= ImageLength) return r;
    for (;;) {
      if (pos >= t.size()) return r;
      char c = t[pos++];
      if (c == ';') break;
      if (c == 'E') {
        r.skippedE = true;
        if (!skipE) return r;
      }
    }
    if (!Number(t, pos, value)) return r;
    char end = 0;
    do {
      if (pos >= t.size()) return r;
      end = t[pos++];
    } while (end != '\n' && end != 'E');
    r.values[index] = value;
    ++r.stored;
    if (end == 'E') {
      r.applied = true;
      return r;
    }
    if (++r.lineEntries > patchfile::kMaxLineEntries) return r;
  }
}

// An image with guard cells around it, which catch any write outside it.
struct TImage {
  std::int32_t before[4] = {};
  std::int32_t values[ImageLength] = {};
  std::int32_t after[4] = {};
  bool GuardsIntact() const {
    for (std::int32_t g : before)
      if (g != 0) return false;
    for (std::int32_t g : after)
      if (g != 0) return false;
    return true;
  }
};

bool Same(const TImage& image, const patchfile::TEntriesOutcome& out, const TReference& ref) {
  if ((out.Result == patchfile::TEntriesResult::erApplied) != ref.applied) return false;
  if (out.Stored != ref.stored || out.LineEntries != ref.lineEntries) return false;
  for (int i = 0; i < ImageLength; ++i)
    if (image.values[i] != ref.values[i]) return false;
  return true;
}

patchfile::TEntriesOutcome Apply(const std::vector<std::uint8_t>& file,
                                 const std::vector<std::uint8_t>& verified, TImage& image) {
  patchfile::TMemorySource source(file.data(), file.size());
  patchfile::TEntriesOutcome out = patchfile::ApplyVerifiedSource(source, verified, image.values);
  Require(image.GuardsIntact());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  const std::string text = TextOf(data, size);
  const bool sawEndMark = text.find('E') != std::string::npos;

  std::vector<std::uint8_t> verified;
  patchfile::TMemorySource first(file.data(), file.size());
  patchfile::TChecksumOutcome check = patchfile::VerifyPatchSource(first, verified);
  Require(check.Sum == ReferenceSum(text));
  if (!sawEndMark) Require(check.Result == patchfile::TChecksumResult::crMalformed);
  if (check.Result == patchfile::TChecksumResult::crMatch) Require(check.Stored == check.Sum);
  if (check.Result == patchfile::TChecksumResult::crMismatch) Require(check.Stored != check.Sum);
  // What was verified is what the file holds, from its start.
  Require(verified.empty() ||
          (check.Result == patchfile::TChecksumResult::crMatch && verified.size() <= size &&
           std::equal(verified.begin(), verified.end(), file.begin())));

  // The entry rules, over every input as though its checksum had matched;
  // and where the earlier reading skipped no "E" (a well-formed file),
  // exactly what it did.
  TImage image;
  const patchfile::TEntriesOutcome entries = Apply(file, file, image);
  Require(Same(image, entries, ReferenceEntries(text, false)));
  const TReference earlier = ReferenceEntries(text, true);
  if (!earlier.skippedE) Require(Same(image, entries, earlier));

  // In the run's order: the entry pass over the unchanged file applies what
  // the rules say when the checksum matched, and nothing otherwise.
  TImage runImage;
  const patchfile::TEntriesOutcome run = Apply(file, verified, runImage);
  if (check.Result == patchfile::TChecksumResult::crMatch) {
    Require(run.Result == entries.Result && run.Stored == entries.Stored);
    for (int i = 0; i < ImageLength; ++i) Require(runImage.values[i] == image.values[i]);
  } else {
    Require(run.Result == patchfile::TEntriesResult::erMalformed && run.Stored == 0);
  }
  if (entries.Result != patchfile::TEntriesResult::erApplied) return 0;

  // Applied: every value came from before the first "E", the one the
  // checksum ends at. Nothing after it changes the outcome ...
  std::size_t firstE = 0;
  while (file[firstE] != 'E') ++firstE;
  const std::vector<std::uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(firstE) + 1);
  TImage cutImage;
  const patchfile::TEntriesOutcome cutEntries = Apply(cut, cut, cutImage);
  Require(cutEntries.Result == entries.Result && cutEntries.Stored == entries.Stored);
  for (int i = 0; i < ImageLength; ++i) Require(cutImage.values[i] == image.values[i]);

  // ... and a file changed in any byte up to it, between the passes, is not
  // applied.
  std::vector<std::uint8_t> changed = file;
  const std::size_t at = (size * 7919u) % (firstE + 1);
  changed[at] = static_cast<std::uint8_t>(changed[at] ^ (1 + changed[0] % 255));
  TImage changedImage;
  Require(Apply(changed, file, changedImage).Result == patchfile::TEntriesResult::erMalformed);
  return 0;
}
