# cmake -DBUILD_DIR=<build tree> [-DCONFIG=<configuration>] [-DBINDIR=bin] [-DDATADIR=share]
#       -P install_test.cmake
# Installs the build into a scratch prefix inside the build tree and checks what lands there.

if(NOT BUILD_DIR)
    message(FATAL_ERROR "BUILD_DIR is not set")
endif()

set(prefix "${BUILD_DIR}/install-test")
file(REMOVE_RECURSE "${prefix}")

set(config_args)
if(CONFIG)
    set(config_args --config "${CONFIG}")
endif()
execute_process(
    COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

if(NOT BINDIR)
    set(BINDIR bin)
endif()
if(NOT DATADIR)
    set(DATADIR share)
endif()

set(missing)
foreach(file ${BINDIR}/kivo ${DATADIR}/applications/kivo.desktop ${DATADIR}/mime/packages/kivo.xml
             ${DATADIR}/icons/hicolor/scalable/apps/kivo.svg)
    if(NOT EXISTS "${prefix}/${file}")
        list(APPEND missing "${file}")
    endif()
endforeach()

# Each size's folder must hold a PNG of that size, not just any file called kivo.png.
foreach(size 16 32 48 256)
    set(icon "${DATADIR}/icons/hicolor/${size}x${size}/apps/kivo.png")
    if(NOT EXISTS "${prefix}/${icon}")
        list(APPEND missing "${icon}")
        continue()
    endif()
    file(READ "${prefix}/${icon}" header LIMIT 24 HEX)
    string(SUBSTRING "${header}" 0 16 signature)
    string(SUBSTRING "${header}" 32 8 width)
    string(SUBSTRING "${header}" 40 8 height)
    math(EXPR width "0x${width}")
    math(EXPR height "0x${height}")
    if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT width EQUAL size
       OR NOT height EQUAL size)
        message(FATAL_ERROR "${icon} is not a ${size} x ${size} PNG")
    endif()
endforeach()

if(missing)
    list(JOIN missing "\n  " missing)
    message(FATAL_ERROR "Not installed:\n  ${missing}")
endif()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
    execute_process(
        COMMAND "${DESKTOP_FILE_VALIDATE}" "${prefix}/${DATADIR}/applications/kivo.desktop"
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR output MATCHES "error:")
        message(FATAL_ERROR "desktop-file-validate rejects kivo.desktop:\n${output}")
    endif()
else()
    message(STATUS "desktop-file-validate not found; the menu entry is not validated")
endif()

file(REMOVE_RECURSE "${prefix}")
