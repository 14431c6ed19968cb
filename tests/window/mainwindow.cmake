# mainwindow window tests
quorvel_add_qtest(tst_mainwindow
    SOURCES tst_mainwindow.cpp MainWindowFixture.h
    LIBS quorvel_app)
quorvel_add_qtest(tst_mainwindow_io
    SOURCES tst_mainwindow_io.cpp MainWindowFixture.h
    LIBS quorvel_app
    LABELS threads)
quorvel_add_qtest(tst_mainwindow_send
    SOURCES tst_mainwindow_send.cpp MainWindowFixture.h
    LIBS quorvel_app
    LABELS threads)
# The form header comes from quorvel_app; the tests must not generate their own.
set_target_properties(tst_mainwindow tst_mainwindow_io tst_mainwindow_send PROPERTIES AUTOUIC OFF)
