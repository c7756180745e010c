// GTK for the toolkit tests: a private Xvfb, started once per test program
// and stopped at exit, with gtk_init and gtkmm's wrappers on it.
#pragma once

#include <chrono>
#include <string>

// Empty when GTK runs on the private display; else why it does not (the
// caller skips). Starts the server on the first call only.
std::string pi_test_gtk_start();

// gtkmm's wrappers without a display: enough for pixbufs and cairo.
void pi_test_gtkmm_wrappers();

// One pass over the default main context; sleeps wait_ms when nothing ran.
void pi_test_iterate_once(int wait_ms);

// Runs the default main context until done() or twenty seconds passed;
// done()'s last answer. A bound on waiting, not a measured time: counted on
// the clock, since a busy context runs many passes without sleeping.
template <class Done>
bool pi_test_iterate_until(Done done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < end) pi_test_iterate_once(10);
    return done();
}
