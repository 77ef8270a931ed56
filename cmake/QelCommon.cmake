set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()

# Every target of the project compiles with these; third-party code does not.
add_library(qel_options INTERFACE)
target_compile_definitions(qel_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000)
target_compile_options(qel_options INTERFACE -Wall -Wextra)
target_include_directories(qel_options INTERFACE ${PROJECT_SOURCE_DIR})

# A layer joins the build once its folder exists.
macro(qel_layer dir)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()
