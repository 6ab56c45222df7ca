# Every C++ file under tidewell_ts_libs/ is one extension module, named by its path:
# tidewell_ts_libs/utils/score.cpp becomes the module tidewell_ts_libs.utils.score.
# Files whose name starts with an underscore and ends in _impl.cpp are not modules.

file(GLOB TW_SUPPORT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/support/*.cpp)
add_library(tw_support STATIC ${TW_SUPPORT_SOURCES} ${PROJECT_SOURCE_DIR}/support/pyclass.hpp)
target_include_directories(tw_support PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/support)
target_link_libraries(tw_support PUBLIC pybind11::headers Python::Module tarn_engine)
set_target_properties(tw_support PROPERTIES LINKER_LANGUAGE CXX CXX_VISIBILITY_PRESET hidden)

function(tw_add_all_modules)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
       ${PROJECT_SOURCE_DIR}/tidewell_ts_libs/*.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(dir ${src} DIRECTORY)
    get_filename_component(name ${src} NAME_WE)
    string(REPLACE "/" "." dotted "${dir}.${name}")
    string(REPLACE "." "_" target "${dotted}")
    pybind11_add_module(${target} MODULE NO_EXTRAS ${src})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
    target_link_libraries(${target} PRIVATE tw_support tarn_engine)
    target_compile_definitions(${target} PRIVATE TW_MODULE_NAME=${name})
    install(TARGETS ${target} LIBRARY DESTINATION ${dir})
    if(TW_INPLACE)
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}>
                ${PROJECT_SOURCE_DIR}/${dir}/)
    endif()
  endforeach()
endfunction()
