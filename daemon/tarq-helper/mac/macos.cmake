# The macOS parts of tarq-helper. This folder's CMakeLists.txt includes this
# file inside if(APPLE), after it has defined the tarq-helper target:
#
#   include(${CMAKE_CURRENT_SOURCE_DIR}/mac/macos.cmake)
#
# The caller policy checks code signatures with the Security framework and
# reads the caller's ids from its audit token with libbsm.
enable_language(OBJCXX)

set(_tarq_helper_mac ${CMAKE_CURRENT_LIST_DIR})
target_sources(tarq-helper PRIVATE
  ${_tarq_helper_mac}/code_signing_policy.mm
  ${_tarq_helper_mac}/../code_signing_requirement.cc
  ${_tarq_helper_mac}/../enclosing_application.cc)
set_source_files_properties(${_tarq_helper_mac}/code_signing_policy.mm
  PROPERTIES COMPILE_OPTIONS "-fobjc-arc")
# Headers are named from the repository's root ("daemon/core/...").
target_include_directories(tarq-helper PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(tarq-helper PRIVATE
  "-framework Security" "-framework CoreFoundation" "-framework Foundation" bsm)
unset(_tarq_helper_mac)
