// halvix/halvix.h - everything libhalvix offers, in one include.
//
//   utils      environment, time text, hex dump, BCD, base-2 parsing
//   singleton  SingletonT: lazily created process-wide instances
//   strategy   Strategy / StrategyT: pluggable handlers by type
//   error      Error, its reporting sequence and the built-in strategies
//   command    Command, Macro, NoOpCommand, SleepCommand
//   dbg        the _dbg_* trace facility
//   os         halvix::os: mutexes, conditions, queues, semaphores, tasks, timers
//   queue      named macro queues with forwarding, WriteCommand
//   task       Tasks: named active objects with an event loop
//   timer      Timers delivered through queues
//   observe    live snapshots, execution timelines and thread names
#ifndef HALVIX_HALVIX_H
#define HALVIX_HALVIX_H

#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>
#include <halvix/command/NoOpCommand.h>
#include <halvix/command/SleepCommand.h>
#include <halvix/dbg/dbg.h>
#include <halvix/error/DefaultStrategy.h>
#include <halvix/error/Error.h>
#include <halvix/error/Report.h>
#include <halvix/error/StandardOutStrategy.h>
#include <halvix/observe/Observe.h>
#include <halvix/os/os.h>
#include <halvix/queue/Queue.h>
#include <halvix/queue/WriteCommand.h>
#include <halvix/queue/WriteableQueue.h>
#include <halvix/singleton/SingletonT.h>
#include <halvix/strategy/Strategy.h>
#include <halvix/task/InfiniteLoopMacro.h>
#include <halvix/task/Task.h>
#include <halvix/task/TaskControl.h>
#include <halvix/task/TerminateTaskMacro.h>
#include <halvix/timer/DeleteProcessTimeoutMacroCommand.h>
#include <halvix/timer/ProcessTimeoutCommand.h>
#include <halvix/timer/Timer.h>
#include <halvix/utils/Utf8.h>
#include <halvix/utils/Utils.h>

#endif  // HALVIX_HALVIX_H
