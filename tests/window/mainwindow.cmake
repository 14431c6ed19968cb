# Main-window tests. They run the component's threads too, but not under ThreadSanitizer: Qt's
# own worker threads (image handling of the offscreen painter) hand memory over through locks the
# sanitizer cannot see, and the component's threads are covered by the serial tests.
quorvel_add_qtest(tst_mainwindow
    SOURCES tst_mainwindow.cpp MainWindowFixture.h
    LIBS quorvel_app)
quorvel_add_qtest(tst_mainwindow_io
    SOURCES tst_mainwindow_io.cpp MainWindowFixture.h
    LIBS quorvel_app)
quorvel_add_qtest(tst_mainwindow_send
    SOURCES tst_mainwindow_send.cpp MainWindowFixture.h
    LIBS quorvel_app)
# The form header comes from quorvel_app; the tests must not generate their own.
set_target_properties(tst_mainwindow tst_mainwindow_io tst_mainwindow_send PROPERTIES AUTOUIC OFF)
