// Unicode normalisation form NFC (canonical decomposition, canonical
// ordering, canonical composition) on the module's own character data.
#pragma once

#include <string>
#include <string_view>

namespace vessolin::unicode {

// Appends the NFC form of `text` (valid UTF-8) to `out`. `work` is scratch
// room that a caller normalising many pieces keeps between calls.
void append_nfc(std::string_view text, std::u32string& work, std::string& out);

// Whether `c` has NFC quick-check Yes and combining class 0: it stays as it
// is in NFC whatever surrounds it, and nothing before it composes with it.
bool nfc_stable(char32_t c);

// The canonical combining class of `c`.
unsigned combining_class(char32_t c);

}  // namespace vessolin::unicode
