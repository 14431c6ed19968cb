# SPDX-License-Identifier: MIT
# The program's icon is drawn once, as SVG (packaging/); the fixed sizes are rendered from it at
# build time so that they never differ. The window builds them into the program (a portable copy
# has its icon too) and the installation puts them where the menus look.
#   quorvel_render_icons(TARGET) renders them for TARGET and records them in the global property
#   QUORVEL_ICON_PNGS as "size=path" pairs; without rsvg-convert it renders nothing.
set(QUORVEL_ICON_SIZES 48 64 128)

function(quorvel_render_icons target)
    find_program(RSVG_CONVERT rsvg-convert)
    if(NOT RSVG_CONVERT)
        message(WARNING "rsvg-convert (Debian package librsvg2-bin) not found: "
            "the window has no icon and only the scalable one is installed")
        return()
    endif()
    set(svg ${CMAKE_SOURCE_DIR}/packaging/org.quorvel.Quorvel.svg)
    set(pngs)
    set(pairs)
    foreach(size ${QUORVEL_ICON_SIZES})
        set(png ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/org.quorvel.Quorvel.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}
            COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
            DEPENDS ${svg}
            COMMENT "Rendering the ${size} px icon"
            VERBATIM)
        set_source_files_properties(${png} PROPERTIES QT_RESOURCE_ALIAS ${size}x${size}/org.quorvel.Quorvel.png)
        list(APPEND pngs ${png})
        list(APPEND pairs "${size}=${png}")
    endforeach()
    qt_add_resources(${target} quorvel_icon PREFIX /icons FILES ${pngs} OUTPUT_TARGETS resource_targets)
    # The object library of a static target's resources holds no class and no form of its own.
    if(resource_targets)
        set_target_properties(${resource_targets} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    endif()
    set_property(GLOBAL PROPERTY QUORVEL_ICON_PNGS ${pairs})
endfunction()
