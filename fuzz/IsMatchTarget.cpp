// IsMatch on a mask and a text. Input: mask, a zero byte, text (without a zero byte the
// whole input is both mask and text). Besides crashes and hangs (a matcher that backtracks
// without bound on "*a*a*a*...b" times out), the result is checked against what must hold
// for any mask and text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "Names.h"

namespace {

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find('\0');
  const std::string_view mask = zero == std::string_view::npos ? input : input.substr(0, zero);
  const std::string_view text = zero == std::string_view::npos ? input : input.substr(zero + 1);

  const bool result = unzip::IsMatch(mask, text);
  // Letter case of A-Z never matters, on either side.
  REQUIRE(unzip::IsMatch(AsciiUpper(mask), text) == result);
  REQUIRE(unzip::IsMatch(mask, AsciiUpper(text)) == result);
  // Letter case counting can only take matches away.
  if (unzip::IsMatch(mask, text, false)) REQUIRE(result);
  // A lone star takes any text; a text without wildcard characters matches itself.
  REQUIRE(unzip::IsMatch("*", text));
  if (text.find_first_of("*?[") == std::string_view::npos) REQUIRE(unzip::IsMatch(text, text));
  // A mask without wildcards matches only its own text (ignoring case).
  if (mask.find_first_of("*?[") == std::string_view::npos)
    REQUIRE(result == (AsciiUpper(mask) == AsciiUpper(text)));
  return 0;
}
