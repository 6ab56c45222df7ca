# Every C++ file under src/tidewell_ts_libs/ is one extension module, named by its path below src/:
# src/tidewell_ts_libs/utils/score.cpp becomes the module tidewell_ts_libs.utils.score. The C++
# files of a folder _<module>/ beside <module>.cpp are more sources of that module.

# The header-only helpers for defining Python classes from C++ (support/) and the contracts.
add_library(tw_support INTERFACE)
target_include_directories(tw_support INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/support)
target_link_libraries(tw_support INTERFACE pybind11::headers Python::Module tarn_engine)

# The shared engine lives beside the binding package; each module finds it relative to itself.
set(TW_ENGINE_DIR tidewell_ts_libs/deps/tarn)
if(TW_ENGINE_SHARED)
  install(TARGETS tarn_engine LIBRARY DESTINATION ${TW_ENGINE_DIR})
endif()

# Build cost: most of a module's compile time is pybind11 itself (its headers, and the code of
# its dispatcher and type machinery that every module carries), not the module's own code.
# The modules therefore share one precompiled header of pybind11, the standard library and
# support/pyclass.hpp (built once, with the first module), and in Release builds their binding
# code is optimised for size (-Os): it compiles about a quarter faster than at -O3, costs about
# half a microsecond more per call into a module and nothing measurable in fitting and
# forecasting, whose work is the engine's. The engine keeps the build type's -O3.
option(TW_MODULE_PCH "Modules share one precompiled header of pybind11 and the standard library" ON)
set(TW_MODULE_RELEASE_OPT "-Os" CACHE STRING "Optimisation of the binding code in Release builds")

# The compile settings every module shares with the precompiled header it reuses (they must
# match, or the compiler ignores the header; CMake adds -Winvalid-pch, which says so).
function(tw_module_settings target)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden DEFINE_SYMBOL "")
  target_link_libraries(${target} PRIVATE tw_support tarn_engine)
  # ccache caches compiles that use a precompiled header only when told that it may.
  if(TW_MODULE_PCH AND CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
    set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "${CMAKE_COMMAND};-E;env;\
CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime;\
${CMAKE_CXX_COMPILER_LAUNCHER}")
    target_compile_options(${target} PRIVATE -fpch-preprocess)
  endif()
  if(TW_MODULE_RELEASE_OPT)
    target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:${TW_MODULE_RELEASE_OPT}>)
  endif()
endfunction()

function(tw_add_all_modules)
  set(pkg_root ${PROJECT_SOURCE_DIR}/src)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${pkg_root} ${pkg_root}/tidewell_ts_libs/*.cpp)
  set(pch_owner "")
  foreach(src IN LISTS sources)
    get_filename_component(dir ${src} DIRECTORY)
    get_filename_component(name ${src} NAME_WE)
    get_filename_component(folder ${dir} NAME)
    get_filename_component(parent ${dir} DIRECTORY)
    # A part of another module. (The match is read in its own if(): a ${CMAKE_MATCH_1} in the
    # same condition is expanded before MATCHES sets it.)
    if(folder MATCHES "^_(.+)$")
      if(EXISTS ${pkg_root}/${parent}/${CMAKE_MATCH_1}.cpp)
        continue()
      endif()
    endif()
    string(REPLACE "/" "." dotted "${dir}.${name}")
    string(REPLACE "." "_" target "${dotted}")
    file(GLOB parts CONFIGURE_DEPENDS ${pkg_root}/${dir}/_${name}/*.cpp)
    pybind11_add_module(${target} MODULE NO_EXTRAS ${pkg_root}/${src} ${parts})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
    tw_module_settings(${target})
    if(TW_MODULE_PCH AND pch_owner)
      target_precompile_headers(${target} REUSE_FROM ${pch_owner})
    elseif(TW_MODULE_PCH)
      set(pch_owner ${target})
      target_precompile_headers(${target} PRIVATE <pybind11/pybind11.h> <pybind11/stl.h>
        <pybind11/numpy.h> <algorithm> <cmath> <cstdint> <map> <memory> <string> <utility>
        <vector> ${PROJECT_SOURCE_DIR}/support/pyclass.hpp)
    endif()
    file(RELATIVE_PATH to_engine ${PROJECT_SOURCE_DIR}/src/${dir} ${PROJECT_SOURCE_DIR}/src/${TW_ENGINE_DIR})
    if(to_engine STREQUAL "")
      set(to_engine ".")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_engine}"
                          BUILD_RPATH "$ORIGIN/${to_engine}")
    install(TARGETS ${target} LIBRARY DESTINATION ${dir})
    if(TW_INPLACE)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}>
                ${pkg_root}/${dir}/)
      if(TW_ENGINE_SHARED)
        add_custom_command(TARGET ${target} POST_BUILD
          COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:tarn_engine>
                  ${pkg_root}/${TW_ENGINE_DIR}/)
      endif()
    endif()
  endforeach()
endfunction()
