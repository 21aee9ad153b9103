// ACE: ACE_Message_Queue bounded by its high-water mark, an ACE_Task (its
// active object) for dispatch, and reactor timers.
#include "peers.h"
#include "register.h"

#include <ace/Event_Handler.h>
#include <ace/Init_ACE.h>
#include <ace/Message_Block.h>
#include <ace/Message_Queue.h>
#include <ace/Reactor.h>
#include <ace/Task.h>
#include <ace/Thread.h>

#include <thread>

namespace compare {
namespace {

// A message is an ACE_Message_Block that points at the pointer value without
// owning or copying it (allocated per message, as ACE does). Each block has
// size 1, so a high-water mark of `slots` bytes bounds the queue at `slots`
// messages. The stop message is an MB_STOP block.
ACE_Message_Block* blockOf(void* message)
{
    if (message == nullptr) {
        return new ACE_Message_Block(size_t(0), ACE_Message_Block::MB_STOP);
    }
    return new ACE_Message_Block(static_cast<const char*>(message), 1);
}

void* messageOfBlock(ACE_Message_Block* block)
{
    void* message = block->msg_type() == ACE_Message_Block::MB_STOP ? nullptr : block->base();
    block->release();
    return message;
}

class AceQueue
{
public:
    explicit AceQueue(int slots) : m_queue(static_cast<size_t>(slots), static_cast<size_t>(slots)) {}
    void push(void* message) { m_queue.enqueue_tail(blockOf(message)); }
    void* pop()
    {
        ACE_Message_Block* block = nullptr;
        m_queue.dequeue_head(block);
        return messageOfBlock(block);
    }

private:
    ACE_Message_Queue<ACE_MT_SYNCH> m_queue;
};

// The worker: an ACE_Task whose svc() takes requests from its own message
// queue and answers through the caller's queue.
class Worker : public ACE_Task<ACE_MT_SYNCH>
{
public:
    explicit Worker(AceQueue* replies) : m_replies(replies) { msg_queue()->high_water_mark(SLOTS); }
    int svc() override
    {
        for (;;) {
            ACE_Message_Block* block = nullptr;
            getq(block);
            void* request = messageOfBlock(block);
            if (request == nullptr) {
                return 0;
            }
            m_replies->push(request);
        }
    }

private:
    AceQueue* m_replies;
};

Measurement taskRoundTrip()
{
    AceQueue replies(SLOTS);
    Worker worker(&replies);
    worker.activate(THR_NEW_LWP | THR_JOINABLE, 1);
    auto samples = sampleRoundTrips([&] {
        worker.putq(blockOf(messageOf(1)));
        replies.pop();
    });
    worker.putq(blockOf(nullptr));
    worker.wait();
    return latencies(std::move(samples), Metric::DispatchMedian, Metric::DispatchP99);
}

class FireHandler : public ACE_Event_Handler
{
public:
    std::function<void()> fire;
    int handle_timeout(const ACE_Time_Value&, const void*) override
    {
        fire();
        return 0;
    }
};

// A reactor whose event loop runs on its own thread until destruction.
class ReactorThread
{
public:
    ReactorThread()
        : m_thread([this] {
              m_reactor.owner(ACE_Thread::self());
              m_reactor.run_reactor_event_loop();
          })
    {
    }
    ~ReactorThread()
    {
        m_reactor.end_reactor_event_loop();
        m_thread.join();
    }
    ACE_Reactor& reactor() { return m_reactor; }

private:
    ACE_Reactor m_reactor;
    std::thread m_thread;
};

Measurement timerLateness()
{
    ReactorThread loop;
    FireHandler handler;
    auto samples = sampleLateness([&](std::function<void()> fire) {
        handler.fire = std::move(fire);
        loop.reactor().schedule_timer(&handler, nullptr, ACE_Time_Value(0, 10000));
    });
    return lateness(std::move(samples));
}

Measurement idleTimers()
{
    return idleTimerCost([] {
        auto* loop = new ReactorThread();
        return std::function<void()>([loop] {
            for (int i = 0; i < IDLE_TIMERS; ++i) {
                loop->reactor().schedule_timer(new FireHandler(), nullptr, ACE_Time_Value(3600));
            }
        });
    });
}

}  // namespace

void registerAce(Registry& registry)
{
    ACE::init();
    registerQueueWorkloads<AceQueue>(registry, "ACE");
    registry.add(Workload::Dispatch, "ACE", taskRoundTrip);
    registerTimerWorkloads(registry, "ACE", timerLateness, idleTimers);
    registry.note("ACE: ACE_Message_Queue with a high-water mark of 1024 one-byte blocks, one "
                  "ACE_Message_Block allocated per message; dispatch is an ACE_Task; timers are "
                  "ACE_Reactor::schedule_timer on a reactor thread (its timer queue reads the wall clock).");
}

}  // namespace compare
