# Every target of the project compiles with these; warnings are fixed, not silenced.
add_library(lumbrin_warnings INTERFACE)
target_compile_options(lumbrin_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wnon-virtual-dtor>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>>:-Wshadow=local>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
if(DEFINED ENV{CI} OR LUMBRIN_WERROR)
  target_compile_options(lumbrin_warnings INTERFACE -Werror)
endif()

# Adds a static library of the core with the project's include root.
function(lumbrin_core_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE lumbrin_warnings)
endfunction()
