// Fuzz target: IsVersionNotOlder on arbitrary text pairs. The input is split at its first NUL
// byte (no NUL: the second text is empty). Checked: it ends, it agrees with the rule written out
// plainly below, a text is never older than itself, of two texts at least one is not older than
// the other, and VersionFieldNumber of each field stays defined (UndefinedBehaviorSanitizer
// watches the conversion).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "installer_flow.h"

namespace {

// The rule as stated: equal texts are not older; otherwise the heads (up to the first period)
// decide by their numbers when they differ as text, else both drop their head (a text without a
// period is its own tail) and the rule starts over. Quadratic: used on inputs up to 16 KiB only.
bool ReferenceNotOlder(std::string a, std::string b) {
  for (;;) {
    if (a == b) return true;
    const size_t dotA = a.find('.');
    const size_t dotB = b.find('.');
    const std::string headA = a.substr(0, dotA);
    const std::string headB = b.substr(0, dotB);
    if (headA != headB) return velmora::VersionFieldNumber(headA) >= velmora::VersionFieldNumber(headB);
    if (dotA != std::string::npos) a.erase(0, dotA + 1);
    if (dotB != std::string::npos) b.erase(0, dotB + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t nul = text.find('\0');
  const std::string candidate = text.substr(0, nul);
  const std::string installed = nul == std::string::npos ? std::string() : text.substr(nul + 1);

  const bool forward = velmora::IsVersionNotOlder(candidate, installed);
  const bool backward = velmora::IsVersionNotOlder(installed, candidate);
  FUZZ_CHECK(forward || backward);
  if (size <= 16384) {
    FUZZ_CHECK(forward == ReferenceNotOlder(candidate, installed));
    FUZZ_CHECK(backward == ReferenceNotOlder(installed, candidate));
  }
  FUZZ_CHECK(velmora::IsVersionNotOlder(candidate, candidate));

  for (const std::string* s : {&candidate, &installed}) {
    size_t start = 0;
    for (;;) {
      const size_t dot = s->find('.', start);
      velmora::VersionFieldNumber(s->substr(start, dot == std::string::npos ? std::string::npos : dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    const std::string trimmed = velmora::TrimVersionText(*s);
    FUZZ_CHECK(trimmed.size() <= s->size());
    FUZZ_CHECK(velmora::TrimVersionText(trimmed) == trimmed);
  }
  return 0;
}
