#include "services/pump.h"

#include <exception>
#include <new>
#include <system_error>

#include "core/log.h"
#include "core/names.h"
#include "core/topic.h"
#include "engine/node.h"

namespace {

CoreName event_topic_name()
{
    CoreName name;
    core_name_format(&name, "%s", ENGINE_EVENT_TOPIC);
    return name;
}

}  // namespace

std::shared_ptr<PkDeamProcessing> &PkDeamProcessing::singleton()
{
    // Never reset: the pump lives until the process ends.
    static std::shared_ptr<PkDeamProcessing> pump(new PkDeamProcessing());
    return pump;
}

std::shared_ptr<PkDeamProcessing> PkDeamProcessing::instance()
{
    std::shared_ptr<PkDeamProcessing> pump = singleton();
    pump->initialize();
    return pump;
}

PkDeamProcessing::~PkDeamProcessing() = default;

bool PkDeamProcessing::initialize()
{
    if (!PkInitializer::initialize()) return false;

    queue.subscribe(shared_from_this());
    queue.start();

    const CoreName topic = event_topic_name();
    CoreTopicSubscription subscription{};
    subscription.fn = &PkDeamProcessing::onCoreEvent;
    subscription.user[0] = this;
    const uint64_t key = core_topic_subscribe(&topic, &subscription);
    if (key == 0) core_log(CORE_LOG_WARN, "services", "event pump: no engine event topic, no events will arrive");
    eventSubscription.store(key);
    return true;
}

void PkDeamProcessing::shutdown()
{
    std::shared_ptr<PkDeamProcessing> pump = singleton();
    // The subscription goes first, so that no event is queued behind the
    // stop; the unsubscribe waits for a delivery that is under way.
    const uint64_t key = pump->eventSubscription.exchange(0);
    if (key != 0) {
        const CoreName topic = event_topic_name();
        core_topic_unsubscribe(&topic, key);
    }
    try {
        pump->queue.stop();
    } catch (const std::system_error &error) {
        // Called from a listener on the worker: the worker ends after the
        // event it is delivering; it cannot join itself.
        core_log(CORE_LOG_ERROR, "services", "event pump shut down from its own worker: %s", error.what());
    }
    // Breaks the queue's reference to the pump.
    pump->queue.unsubscribe(pump);
}

CoreResult PkDeamProcessing::onCoreEvent(const CoreQueueEntry *message, void **user)
{
    if (message == nullptr || user == nullptr || user[0] == nullptr) return CORE_OK;
    auto *pump = static_cast<PkDeamProcessing *>(user[0]);
    // The payload is only valid during this call: it is copied before the
    // callback returns.
    try {
        auto buffer = std::make_shared<PkBuffer>(message->name.key, static_cast<int32_t>(message->type),
                                                 static_cast<int32_t>(message->flags), message->data,
                                                 static_cast<size_t>(message->length));
        pump->queue.post(std::move(buffer));
    } catch (const std::bad_alloc &) {
        // Nothing may unwind into the runtime's consumer.
        pump->dropped.fetch_add(1);
        core_log(CORE_LOG_ERROR, "services", "event pump: event 0x%X dropped, out of memory", message->type);
    }
    return CORE_OK;
}

void PkDeamProcessing::onMessage(std::shared_ptr<PkBuffer> message)
{
    if (!message) return;
    std::vector<std::shared_ptr<IPkDeamProcessing>> receivers;
    {
        std::lock_guard<std::mutex> lock(listenerMutex);
        receivers = listeners;
    }
    const uint32_t code = static_cast<uint32_t>(message->code);
    for (const auto &receiver : receivers) {
        // An exception leaving a listener would end the worker and with it
        // the process; the other listeners and later events still count.
        try {
            receiver->onCoreEvent(code, message->data);
        } catch (const std::exception &error) {
            core_log(CORE_LOG_ERROR, "services", "event pump: listener failed on event 0x%X: %s", code,
                     error.what());
        } catch (...) {
            core_log(CORE_LOG_ERROR, "services", "event pump: listener failed on event 0x%X", code);
        }
    }
}

void PkDeamProcessing::addListener(std::shared_ptr<IPkDeamProcessing> listener)
{
    if (!listener) return;
    std::lock_guard<std::mutex> lock(listenerMutex);
    listeners.push_back(std::move(listener));
}

void PkDeamProcessing::removeListener(const std::shared_ptr<IPkDeamProcessing> &listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (it->get() == listener.get()) {
            listeners.erase(it);
            return;
        }
    }
}
