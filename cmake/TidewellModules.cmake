# Every C++ file under src/tidewell_ts_libs/ is one extension module, named by its path below src/:
# src/tidewell_ts_libs/utils/score.cpp becomes the module tidewell_ts_libs.utils.score.

file(GLOB TW_SUPPORT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/support/*.cpp)
add_library(tw_support STATIC ${TW_SUPPORT_SOURCES} ${PROJECT_SOURCE_DIR}/support/pyclass.hpp)
target_include_directories(tw_support PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/support)
target_link_libraries(tw_support PUBLIC pybind11::headers Python::Module tarn_engine)
set_target_properties(tw_support PROPERTIES LINKER_LANGUAGE CXX CXX_VISIBILITY_PRESET hidden)

function(tw_add_all_modules)
  set(pkg_root ${PROJECT_SOURCE_DIR}/src)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${pkg_root} ${pkg_root}/tidewell_ts_libs/*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(dir ${src} DIRECTORY)
    get_filename_component(name ${src} NAME_WE)
    string(REPLACE "/" "." dotted "${dir}.${name}")
    string(REPLACE "." "_" target "${dotted}")
    pybind11_add_module(${target} MODULE NO_EXTRAS ${pkg_root}/${src})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
    target_link_libraries(${target} PRIVATE tw_support tarn_engine)
    install(TARGETS ${target} LIBRARY DESTINATION ${dir})
    if(TW_INPLACE)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}>
                ${pkg_root}/${dir}/)
    endif()
  endforeach()
endfunction()
