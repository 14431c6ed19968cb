# core unit tests
foreach(test tst_rxpipeline tst_settings tst_historyfile tst_pagefiles)
    quorvel_add_gtest(${test} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp
        LIBS GTest::gtest_main quorvel_core LABELS unit)
endforeach()
