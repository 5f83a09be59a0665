#pragma once
// Base64 decoding of designs that scripts pass as text.
#include <string>

namespace Tav {

// The standard alphabet (not the URL-safe one): a character's position is its
// 6-bit value.
extern const std::string g_base64Chars;

// The bytes of a Base64 text. Never fails: decoding stops at the end of the
// text, at the first "=" or at the first character outside the alphabet (white
// space and line breaks included). An unfinished last group of k characters
// gives k - 1 bytes; a single character gives none. The result may hold any
// byte, zero included.
std::string Base64Decode(const std::string& text);

}  // namespace Tav
