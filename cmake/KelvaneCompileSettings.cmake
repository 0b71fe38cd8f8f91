# Compile settings shared by every Kelvane target, on one interface target.
add_library(kelvane_compile_settings INTERFACE)
target_compile_options(kelvane_compile_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
  -Wno-missing-field-initializers)
target_compile_definitions(kelvane_compile_settings INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_FOREACH)

if(KELVANE_FUZZ)
  target_compile_options(kelvane_compile_settings INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(kelvane_compile_settings INTERFACE -fsanitize=address,undefined)
endif()
