# Windows builds (the mingw-w64 cross build and a build on Windows itself).
if(NOT WIN32)
  return()
endif()
# Windows 10 and later: SetupAPI's property calls and CancelIoEx are declared.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)
if(MINGW)
  # localtime_r and the other POSIX re-entrant calls, as mingw-w64 offers them.
  add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
endif()
