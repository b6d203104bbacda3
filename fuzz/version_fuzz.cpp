// Fuzz target: IsVersionNotOlder on arbitrary text pairs. The input is split at its first NUL
// byte (no NUL: the second text is empty). Checked: it ends, a text is never older than itself,
// of two texts at least one is not older than the other, and VersionFieldNumber of each text
// and of each of its fields stays defined (UndefinedBehaviorSanitizer watches the conversion).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "installer_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t nul = text.find('\0');
  const std::string candidate = text.substr(0, nul);
  const std::string installed = nul == std::string::npos ? std::string() : text.substr(nul + 1);

  const bool forward = velmora::IsVersionNotOlder(candidate, installed);
  const bool backward = velmora::IsVersionNotOlder(installed, candidate);
  FUZZ_CHECK(forward || backward);
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
