// The strict JSON reader: exactly one value, only JSON white space after it,
// UTF-8 without a byte-order mark, nesting at most 128 deep. Its error texts
// name the fault and where it is ("trailing characters at line 1 column 10",
// "EOF while parsing a value at line 1 column 5").
#pragma once

#include <string>
#include <string_view>

#include "kivo/core/json_value.hpp"
#include "kivo/core/result.hpp"

namespace kivo::json {

// Parses a whole document. Errors are KivoError::json with the reader's text.
Result<Value> parse(std::string_view text);

}  // namespace kivo::json
