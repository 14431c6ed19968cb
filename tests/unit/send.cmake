# send unit tests
foreach(test tst_mixsend tst_sendbox tst_progbuttons tst_linereader)
    quorvel_add_gtest(${test} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp
        LIBS GTest::gtest_main quorvel_core LABELS unit)
endforeach()
