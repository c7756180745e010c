// GTK for the toolkit tests: a private Xvfb, started once per test program
// and stopped at exit, with gtk_init and gtkmm's wrappers on it.
#pragma once

#include <string>

// Empty when GTK runs on the private display; else why it does not (the
// caller skips). Starts the server on the first call only.
std::string pi_test_gtk_start();

// gtkmm's wrappers without a display: enough for pixbufs and cairo.
void pi_test_gtkmm_wrappers();

// One pass over the default main context; sleeps wait_ms when nothing ran.
void pi_test_iterate_once(int wait_ms);

// Runs the default main context until done() or about ten seconds passed;
// done()'s last answer. A bound on waiting, not a measured time.
template <class Done>
bool pi_test_iterate_until(Done done)
{
    for (int i = 0; i < 1000 && !done(); i++) pi_test_iterate_once(10);
    return done();
}
