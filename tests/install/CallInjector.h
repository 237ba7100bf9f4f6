// Test builds of the setup only: every entry of the engine's table of
// platform calls wrapped, so that a run can be traced call by call and made
// to fail, fault or end at the Nth call. Never part of a deliverable.
//
// The environment of the run says what happens:
//   VELLORAN_CALL_TRACE=FILE   each call appended to FILE as "N name", N from 1
//   VELLORAN_FAIL_CALLS=N[,M]  the Nth call (and the Mth) fails ...
//   VELLORAN_FAIL_CODE=CODE    ... with this Win32 error (default 5, access denied)
//   VELLORAN_FAULT_CALL=N      the Nth call raises an access violation
//   VELLORAN_KILL_CHANGE=N     the process ends at once after the Nth call
//                              that changes the machine has returned
//   VELLORAN_KILL_FLUSH=N      ... after the Nth FlushFileBuffers, which is how
//                              each journal record (and each backup) is made
//                              to last: the Nth write of the journal
//   VELLORAN_SKIP_FLUSH=1      every FlushFileBuffers returns TRUE at once (counted,
//                              not made): a run's time without its flushes;
//                              any other value installs the wrappers alone
// Shell links are counted too, method by method ("IShellLinkA::SetPath"),
// through a stand-in that wraps the real link object.
#pragma once

// Wraps the table's entries when the environment asks for any of the above;
// true when it did.
bool InstallCallInjection();
