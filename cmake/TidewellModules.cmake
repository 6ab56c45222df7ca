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

function(tw_add_all_modules)
  set(pkg_root ${PROJECT_SOURCE_DIR}/src)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${pkg_root} ${pkg_root}/tidewell_ts_libs/*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(dir ${src} DIRECTORY)
    get_filename_component(name ${src} NAME_WE)
    get_filename_component(folder ${dir} NAME)
    get_filename_component(parent ${dir} DIRECTORY)
    if(folder MATCHES "^_(.+)$" AND EXISTS ${pkg_root}/${parent}/${CMAKE_MATCH_1}.cpp)
      continue()
    endif()
    string(REPLACE "/" "." dotted "${dir}.${name}")
    string(REPLACE "." "_" target "${dotted}")
    file(GLOB parts CONFIGURE_DEPENDS ${pkg_root}/${dir}/_${name}/*.cpp)
    pybind11_add_module(${target} MODULE NO_EXTRAS ${pkg_root}/${src} ${parts})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
    target_link_libraries(${target} PRIVATE tw_support tarn_engine)
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
