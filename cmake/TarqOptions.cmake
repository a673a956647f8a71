# Compiler settings shared by every target of the project, gathered in one
# interface target so that third-party code is never compiled with them.
add_library(tarq_options INTERFACE)
set(TARQ_WARNING_FLAGS
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wformat=2
  -Wno-missing-field-initializers)
target_compile_options(tarq_options INTERFACE ${TARQ_WARNING_FLAGS})
if(TARQ_WERROR)
  target_compile_options(tarq_options INTERFACE -Werror)
endif()

if(TARQ_SANITIZE)
  # Line tables (-g1) are all a sanitizer's report needs for its stack
  # traces; full debug information costs about a third more compile time.
  set(_tarq_san -fsanitize=${TARQ_SANITIZE} -fno-omit-frame-pointer -g1)
  if(TARQ_SANITIZE MATCHES "undefined")
    list(APPEND _tarq_san -fno-sanitize-recover=all)
  endif()
  # Applied globally so that the standard library templates instantiated in
  # test code and library code agree.
  add_compile_options(${_tarq_san})
  add_link_options(${_tarq_san})
endif()
