# pageview window tests
quorvel_add_qtest(tst_pageview
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_pageview.cpp
    LIBS quorvel_app)
