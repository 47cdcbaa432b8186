# Compiler flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(TARVO_WERROR)
  add_compile_options(-Werror)
endif()

if(TARVO_SANITIZE STREQUAL "address")
  set(TARVO_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
elseif(TARVO_SANITIZE STREQUAL "thread")
  set(TARVO_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT TARVO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARVO_SANITIZE must be address, thread or empty")
endif()
if(TARVO_SAN_FLAGS)
  add_compile_options(${TARVO_SAN_FLAGS})
  add_link_options(${TARVO_SAN_FLAGS})
endif()

# Fuzz targets need coverage feedback from the library code as well.
if(TARVO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARVO_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
