# Runs a test program of the gpu-real configuration, then reads the library's logs beside it: the
# pictures must have come from a Direct3D 11 video processor, never from compatibility presentation,
# or the run proved nothing about the video-device path.
#   cmake -DEXE=<program> -DDIR=<its folder> -DFILTER=<gtest filter> -P GpuRealRun.cmake
file(GLOB stale "${DIR}/*.log")
if(stale)
  file(REMOVE ${stale})
endif()
# The platform is asked, not assumed: Wine 8 and Wine 10 differ below.
execute_process(COMMAND wine --version OUTPUT_VARIABLE wine_version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REGEX MATCH "wine-([0-9]+)" _ "${wine_version}")
set(wine_major "${CMAKE_MATCH_1}")
if(wine_major STREQUAL "")
  message(FATAL_ERROR "gpu-real: cannot tell the Wine version (${wine_version})")
endif()
# Xvfb's screen reports a refresh rate of 0 through XRandR, and DXVK's Present divides by it.
# Without XRandR and XVidMode, Wine's X11 driver reports one fixed mode at 60 Hz. Wine 8 takes it
# for this program's name only, so the default configuration's runs keep their display settings.
# Wine 10 ignores the per-program key and reads the prefix-wide one only when its session starts:
# its test bed (scripts/testbed.sh) sets that one.
get_filename_component(program "${EXE}" NAME)
if(wine_major LESS 10)
  foreach(extension UseXRandR UseXVidMode)
    execute_process(COMMAND wine reg add "HKCU\\Software\\Wine\\AppDefaults\\${program}\\X11 Driver" /v ${extension}
                            /d N /f OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE added)
    if(NOT added EQUAL 0)
      message(FATAL_ERROR "gpu-real: could not set ${extension}=N for ${program} (${added})")
    endif()
  endforeach()
endif()
# Wine 8's decoder, handed a device manager on this Direct3D 11, fills its output textures with
# zeros; a real driver's decoder does not, nor does Wine 10's. On Wine 8 the decoder writes into
# system memory instead, which keeps the renderer's path the same: the frames are uploaded and
# drawn by the video processor all the same. On Wine 10 the decoder writes into the renderer's
# device, the production path.
if(wine_major LESS 10)
  set(ENV{ORVO_TEST_DECODER_WITHOUT_DEVICE} 1)
endif()
execute_process(COMMAND wine "${EXE}" --gtest_color=no "--gtest_filter=${FILTER}" WORKING_DIRECTORY "${DIR}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gpu-real: ${EXE} failed (${result})")
endif()
file(GLOB logs "${DIR}/*.log")
set(text "")
foreach(log ${logs})
  file(READ "${log}" content)
  string(APPEND text "${content}")
endforeach()
if(text STREQUAL "")
  message(FATAL_ERROR "gpu-real: no library log in ${DIR}")
endif()
if(text MATCHES "using compatibility presentation")
  message(FATAL_ERROR "gpu-real: a renderer fell back to compatibility presentation")
endif()
if(text MATCHES "VideoProcessorBlt failed")
  message(FATAL_ERROR "gpu-real: the video processor failed to draw a frame")
endif()
string(REGEX MATCHALL "ProcessFrameUsingD3D11\\[[0-9A-Fa-fx]+\\]: video processor [0-9]+ created" made "${text}")
list(LENGTH made count)
if(count EQUAL 0)
  message(FATAL_ERROR "gpu-real: no Direct3D 11 video processor was created")
endif()
message(STATUS "gpu-real: ${count} Direct3D 11 video processor(s) drew the frames, no compatibility presentation")
