#pragma once
// The exit statuses of every program of the project (zavo_tail, zavo_sim,
// zavo_record, feedtap), so that a script can tell a mistake in how a
// program was started from a failure while it ran:
//
//   0    done: the run ended as asked (--duration, --max-records, the end of
//        a capture file), or was stopped in order by SIGTERM, the way
//        service managers, kill and timeout stop a program
//   1    failure while running: no connection, a refused or unanswered
//        login, a group that cannot be joined, a capture that cannot be set
//        up, a file that cannot be written, a capture file damaged part-way
//   2    usage or input error: an unknown option, a value that breaks its
//        option's rule, options that do not go together, a code the code
//        table does not know, a configuration file that is missing or
//        wrong, a capture file that is missing or is not a capture
//   130  interrupted by Ctrl-C (SIGINT), whenever it comes: while logging
//        in as while streaming; what was received is written out first
//
// Header only and free of any library, so that feedtap, which links the
// system libraries alone, shares it too.

namespace zavo {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

}  // namespace zavo
