# dialog window tests: the communication settings dialog, the help viewer and the exception display
quorvel_add_qtest(tst_comset
    SOURCES tst_comset.cpp
    LIBS quorvel_app)

quorvel_add_qtest(tst_help
    SOURCES tst_help.cpp
    LIBS quorvel_app)
# The viewer is tested on the copy the build puts beside the executable.
add_dependencies(tst_help quorvel_help)
target_compile_definitions(tst_help PRIVATE
    QUORVEL_EXE_DIR="$<TARGET_FILE_DIR:Quorvel>"
    QUORVEL_HELP_SOURCE="${CMAKE_SOURCE_DIR}/help/index.html")
