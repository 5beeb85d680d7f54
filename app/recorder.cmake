# The movie writer hx_recorder (H.264 in a QuickTime movie through FFmpeg), shared by the
# capture application, halvex-cli and the tests. Left out when FFmpeg's libraries are missing.
include_guard(GLOBAL)
pkg_check_modules(HALVEX_FFMPEG IMPORTED_TARGET GLOBAL libavformat libavcodec libswscale libavutil)
if(NOT HALVEX_FFMPEG_FOUND)
  message(STATUS "FFmpeg libraries not found: movie recording is not built (run scripts/setup)")
  return()
endif()
add_library(hx_recorder STATIC ${CMAKE_CURRENT_LIST_DIR}/ezRecorder.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/ezRecorder.h)
target_include_directories(hx_recorder PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(hx_recorder PUBLIC hx_camera PkgConfig::HALVEX_FFMPEG Threads::Threads)
