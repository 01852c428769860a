# Applied globally so that every library a test links is instrumented alike.
if(VELTRA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VELTRA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(VELTRA_FUZZ)
  # Coverage for the fuzzer in every library it drives; the targets add libFuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT VELTRA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELTRA_SANITIZE must be empty, 'address' or 'thread'")
endif()
