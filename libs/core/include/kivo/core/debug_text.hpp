// Text in its debug form: in double quotes, with \" \\ \n \r \t \0 escaped
// and other control characters as \u{..}, so that a value taken from the
// peer or the disk can neither end a line nor carry terminal escapes.
#pragma once

#include <string>
#include <string_view>

namespace kivo {

std::string debug_quoted(std::string_view text);

}  // namespace kivo
