# cmake -DBUILD_DIR=<build tree> -DVERSION=<project version> [-DCONFIG=<configuration>]
#       -P package_test.cmake
# Makes the Debian package of the build into a scratch folder inside the build tree, unpacks it
# and checks what it would install and what it asks the system for.

foreach(var BUILD_DIR VERSION)
    if(NOT ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(DPKG dpkg REQUIRED)

set(scratch "${BUILD_DIR}/package-test")
file(REMOVE_RECURSE "${scratch}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "${command} failed (${result}):\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

set(config_args)
if(CONFIG)
    set(config_args -C "${CONFIG}")
endif()
run("${CMAKE_CPACK_COMMAND}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${scratch}"
    ${config_args})

# One package, named the way Debian names them.
run("${DPKG}" --print-architecture)
string(STRIP "${output}" arch)
file(GLOB debs "${scratch}/*.deb")
set(deb "${scratch}/kivo_${VERSION}_${arch}.deb")
if(NOT debs STREQUAL deb)
    message(FATAL_ERROR "Expected ${deb}, made: ${debs}")
endif()

run("${DPKG_DEB}" -x "${deb}" "${scratch}/root")
set(missing)
foreach(file usr/bin/kivo usr/share/applications/kivo.desktop usr/share/mime/packages/kivo.xml
             usr/share/icons/hicolor/scalable/apps/kivo.svg)
    if(NOT EXISTS "${scratch}/root/${file}")
        list(APPEND missing "${file}")
    endif()
endforeach()
foreach(size 16 32 48 256)
    if(NOT EXISTS "${scratch}/root/usr/share/icons/hicolor/${size}x${size}/apps/kivo.png")
        list(APPEND missing "usr/share/icons/hicolor/${size}x${size}/apps/kivo.png")
    endif()
endforeach()
if(missing)
    list(JOIN missing "\n  " missing)
    message(FATAL_ERROR "Not in the package:\n  ${missing}")
endif()

# A file manager opens .kvo files with Kivo: the type the MIME file declares for them is the one
# the menu entry handles, and the entry passes the file on.
file(READ "${scratch}/root/usr/share/mime/packages/kivo.xml" mime)
file(READ "${scratch}/root/usr/share/applications/kivo.desktop" desktop)
if(NOT mime MATCHES "<mime-type type=\"([^\"]+)\">.*<glob pattern=\"\\*\\.kvo\"/>")
    message(FATAL_ERROR "kivo.xml declares no type for *.kvo:\n${mime}")
endif()
set(type "${CMAKE_MATCH_1}")
if(NOT desktop MATCHES "\nMimeType=([^\n]*;)?${type};" OR
   NOT desktop MATCHES "\nExec=kivo %[fF]\n")
    message(FATAL_ERROR "kivo.desktop does not open ${type} files:\n${desktop}")
endif()

# The listing shows what dpkg will create: the executable must be root's and runnable by all.
run("${DPKG_DEB}" -c "${deb}")
if(NOT output MATCHES "\n-rwxr-xr-x root/root [^\n]* \\./usr/bin/kivo\n")
    message(FATAL_ERROR "usr/bin/kivo is not an executable owned by root:\n${output}")
endif()

# Installed, the package must pull in the Qt 6 widgets library and the C library.
run("${DPKG_DEB}" -f "${deb}" Depends)
foreach(package libqt6widgets6 libc6)
    if(NOT output MATCHES "(^|, )${package}( |,|\n|$)")
        message(FATAL_ERROR "Depends does not name ${package}: ${output}")
    endif()
endforeach()

# The package carries no debugging information.
find_program(READELF readelf)
if(READELF)
    run("${READELF}" -S "${scratch}/root/usr/bin/kivo")
    if(output MATCHES "\\.debug_")
        message(FATAL_ERROR "usr/bin/kivo in the package is not stripped")
    endif()
endif()

file(REMOVE_RECURSE "${scratch}")
