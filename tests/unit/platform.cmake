# platform unit tests
quorvel_add_gtest(tst_ini SOURCES tst_ini.cpp LIBS quorvel_platform GTest::gtest_main LABELS unit)
quorvel_add_gtest(tst_cp932 SOURCES tst_cp932.cpp LIBS quorvel_platform GTest::gtest_main LABELS unit)
quorvel_add_gtest(tst_fileio SOURCES tst_fileio.cpp LIBS quorvel_platform GTest::gtest_main LABELS unit)
