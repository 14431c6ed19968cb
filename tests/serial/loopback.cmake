# loopback tests
quorvel_add_gtest(tst_loopback
    SOURCES tst_loopback.cpp
    LIBS quorvel_platform GTest::gtest_main
    LABELS "serial;threads")
