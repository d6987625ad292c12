# Every target of the project builds with these warnings, as errors.
add_library(kivo_warnings INTERFACE)
target_compile_options(kivo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
