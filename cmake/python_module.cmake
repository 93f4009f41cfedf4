# Extension modules against CPython's stable ABI: one binary serves CPython
# 3.12 and every later version, so one wheel covers them all.
#
#   tessara_python_module(<target> NAME <name> DESTINATION <dir> SOURCES <file>...)
#
# NAME is the last part of the import name ("_native" for
# tessara_pillow._native); the file is NAME.abi3.so and exports PyInit_NAME
# alone. DESTINATION is its package directory below the install prefix (the
# wheel's root): "." for a top-level module, "tessara_pillow" for a
# submodule. With TESSARA_STATIC_RUNTIME (the wheel) libstdc++ and libgcc are
# linked in, so the module needs nothing from the C++ toolchain at run time.

set(TESSARA_PYTHON_ABI 0x030C0000)  # Py_LIMITED_API: CPython 3.12
option(TESSARA_STATIC_RUNTIME "Link libstdc++ and libgcc into each module" OFF)

function(tessara_python_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;DESTINATION" "SOURCES")
  if(NOT arg_NAME OR NOT arg_DESTINATION OR NOT arg_SOURCES)
    message(FATAL_ERROR "tessara_python_module(${target}): NAME, DESTINATION and SOURCES are required")
  endif()
  if(NOT TARGET Python::Module)
    message(FATAL_ERROR "tessara_python_module(${target}): find_package(Python ... Development.Module) first")
  endif()
  add_library(${target} MODULE ${arg_SOURCES})
  target_compile_definitions(${target} PRIVATE Py_LIMITED_API=${TESSARA_PYTHON_ABI})
  # Headers only: an extension module finds the interpreter's symbols in the
  # process that loads it.
  target_link_libraries(${target} PRIVATE Python::Module)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${arg_NAME} SUFFIX ".abi3.so")

  # Hidden visibility still lets g++ export weak template instantiations (and,
  # with a static runtime, libstdc++'s own symbols); the version script leaves
  # exactly the init function.
  set(exports ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
  file(CONFIGURE OUTPUT ${exports} CONTENT "{\n  global: PyInit_${arg_NAME};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${exports}"
                      "LINKER:--no-undefined-version" "LINKER:--as-needed")
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${exports})
  if(TESSARA_STATIC_RUNTIME)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${arg_DESTINATION})
endfunction()
