# page view text unit tests: the text model lives with the windows (it decodes with QString)
quorvel_add_gtest(tst_pagetext SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_pagetext.cpp
    LIBS GTest::gtest_main quorvel_app LABELS unit)
