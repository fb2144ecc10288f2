# SSM_SANITIZE=ON builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any report ends the program (no recovery), so a
# test that trips one fails.
option(SSM_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(SSM_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "SSM_SANITIZE needs GCC or Clang")
  endif()
  set(ssm_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
                         -fno-omit-frame-pointer)
  add_compile_options(${ssm_sanitize_flags})
  add_link_options(${ssm_sanitize_flags})
endif()
