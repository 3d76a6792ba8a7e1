# One INTERFACE target carries every project-wide compile and link flag.
add_library(tarn_settings INTERFACE)
add_library(tarn::settings ALIAS tarn_settings)

target_compile_options(tarn_settings INTERFACE -Wall -Wextra)
if(TARN_WERROR)
  target_compile_options(tarn_settings INTERFACE -Werror)
endif()

if(TARN_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(TARN_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(NOT TARN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARN_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san)
  target_compile_options(tarn_settings INTERFACE ${_san})
  target_link_options(tarn_settings INTERFACE ${_san})
endif()

# A test group this build leaves out is named at configure; with
# TARN_REQUIRE_ALL_TESTS (CI) configure fails instead, so that no group can
# vanish from a green run.
function(tarn_test_group_left_out group why)
  if(TARN_REQUIRE_ALL_TESTS)
    message(FATAL_ERROR "Test group ${group} cannot be built: ${why}")
  endif()
  message(WARNING "Test group ${group} left out: ${why}")
endfunction()
