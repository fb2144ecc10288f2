# SSM_FUZZ=ON (clang only) instruments every target for libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer and builds the fuzz/ targets.
option(SSM_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang++)" OFF)
if(SSM_FUZZ)
  set(ssm_fuzz_flags -fsanitize=address,undefined -fno-sanitize-recover=all
                     -fno-omit-frame-pointer)
  add_compile_options(-fsanitize=fuzzer-no-link ${ssm_fuzz_flags})
  add_link_options(${ssm_fuzz_flags})
endif()
