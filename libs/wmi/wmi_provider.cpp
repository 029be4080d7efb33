// wmi_provider.cpp
//
// The provider: repository, subscriptions and the delivery, drop-folder and
// generator threads.  One mutex, owned here, guards all of it.
#include "wmi_objects.h"
#include "wmi_standin.h"

#include "core_v2masterlogger.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace wmi::standin {

// ---------------------------------------------------------------- Impl
namespace {

struct Subscription {
    std::string d_namespace;  // the repository's spelling
    BoundQuery d_query;
    IWbemObjectSink* d_sink = nullptr;  // one reference, released when finished
    uint64_t d_registrar = 0;           // serial of the services proxy that made it
    bool d_cancelled = false;
    bool d_finished = false;
    HRESULT d_final_status = WBEM_E_CALL_CANCELLED;  // what the final SetStatus says
};

struct Delivery {
    std::shared_ptr<Subscription> d_sub;
    std::vector<std::shared_ptr<const Instance>> d_objects;
    bool d_final = false;  // the SetStatus and release after a cancel
};

std::string lowerKey(std::string_view a, std::string_view b) {
    std::string k = std::string(a) + "." + std::string(b);
    std::transform(k.begin(), k.end(), k.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return k;
}

// FILETIME of now: 100 ns units since 1601-01-01.
uint64_t fileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

void finishSubscription(Subscription& sub) {
    if (sub.d_sink != nullptr) {
        sub.d_sink->SetStatus(WBEM_STATUS_COMPLETE, sub.d_final_status, nullptr, nullptr);
        sub.d_sink->Release();
        sub.d_sink = nullptr;
    }
}

}  // namespace

struct Provider::Impl : std::enable_shared_from_this<Provider::Impl> {
    mutable std::mutex d_mutex;
    std::condition_variable d_cv;  // queue, progress and stop
    std::shared_ptr<const Repository> d_repo = std::make_shared<Repository>();
    std::vector<std::shared_ptr<Subscription>> d_subs;
    std::deque<Delivery> d_queue;
    bool d_delivering = false;
    bool d_delivery_running = false;
    uint64_t d_deliveries = 0;
    bool d_stop = false;
    std::thread d_delivery_thread;
    std::thread::id d_delivery_id;

    std::thread d_folder_thread;
    bool d_folder_stop = false;
    std::string d_folder;
    std::chrono::milliseconds d_poll{200};

    std::thread d_generator_thread;
    bool d_generator_stop = false;
    double d_rate = 0;
    uint64_t d_serial = 0;

    std::map<std::string, MethodHandler> d_handlers;
    std::atomic<uint64_t> d_generation{0};  // restarts so far

    // ------------------------------------------------------------ delivery
    void start() {
        std::shared_ptr<Impl> self = shared_from_this();
        d_delivery_running = true;
        d_delivery_thread = std::thread([self] { self->deliveryLoop(); });
        d_delivery_id = d_delivery_thread.get_id();
    }

    void deliveryLoop() {
        std::unique_lock<std::mutex> lock(d_mutex);
        for (;;) {
            d_cv.wait(lock, [&] { return d_stop || !d_queue.empty(); });
            if (d_stop) {
                break;
            }
            Delivery item = std::move(d_queue.front());
            d_queue.pop_front();
            d_delivering = true;
            if (item.d_final) {
                lock.unlock();
                finishSubscription(*item.d_sub);
                lock.lock();
                item.d_sub->d_finished = true;
            } else if (!item.d_sub->d_cancelled) {
                IWbemObjectSink* sink = item.d_sub->d_sink;
                lock.unlock();
                std::vector<IWbemClassObject*> objects;
                for (const auto& inst : item.d_objects) {
                    objects.push_back(ClassObject::newInstance(inst));
                }
                sink->Indicate(static_cast<long>(objects.size()), objects.data());
                for (IWbemClassObject* o : objects) {
                    o->Release();
                }
                lock.lock();
                ++d_deliveries;
            }
            d_delivering = false;
            d_cv.notify_all();
        }
        d_delivery_running = false;
        d_cv.notify_all();
    }

    void subscribe(std::string nameSpace, BoundQuery query, IWbemObjectSink* sink,
                   uint64_t registrar) {
        auto sub = std::make_shared<Subscription>();
        sub->d_namespace = std::move(nameSpace);
        sub->d_query = std::move(query);
        sub->d_registrar = registrar;
        sink->AddRef();
        sub->d_sink = sink;
        std::lock_guard<std::mutex> lock(d_mutex);
        d_subs.push_back(std::move(sub));
    }

    // Only the proxy that registered a subscription can cancel it; through
    // any other the sink is unknown.
    HRESULT cancel(IWbemObjectSink* sink, uint64_t registrar) {
        std::unique_lock<std::mutex> lock(d_mutex);
        auto it = std::find_if(d_subs.begin(), d_subs.end(), [&](const auto& s) {
            return s->d_sink == sink && s->d_registrar == registrar;
        });
        if (it == d_subs.end()) {
            return WBEM_E_NOT_FOUND;
        }
        std::shared_ptr<Subscription> sub = *it;
        d_subs.erase(it);
        sub->d_cancelled = true;
        if (std::this_thread::get_id() == d_delivery_id) {
            // Cancelled from inside a sink call: nothing else can be delivering.
            lock.unlock();
            finishSubscription(*sub);
            return WBEM_S_NO_ERROR;
        }
        d_queue.push_front(Delivery{sub, {}, true});
        d_cv.notify_all();
        d_cv.wait(lock, [&] { return sub->d_finished || !d_delivery_running; });
        if (!sub->d_finished) {
            lock.unlock();
            finishSubscription(*sub);
        }
        return WBEM_S_NO_ERROR;
    }

    // Every subscription ends with 'finalStatus', undelivered events go.
    void restart(HRESULT finalStatus) {
        std::lock_guard<std::mutex> lock(d_mutex);
        ++d_generation;
        d_queue.erase(std::remove_if(d_queue.begin(), d_queue.end(),
                                     [](const Delivery& d) { return !d.d_final; }),
                      d_queue.end());
        for (const auto& sub : d_subs) {
            sub->d_cancelled = true;
            sub->d_final_status = finalStatus;
            d_queue.push_back(Delivery{sub, {}, true});
        }
        d_subs.clear();
        d_cv.notify_all();
    }

    void raise(std::string_view nameSpace, std::vector<std::shared_ptr<const Instance>> instances) {
        std::lock_guard<std::mutex> lock(d_mutex);
        const Namespace* ns = d_repo->findNamespace(nameSpace);
        if (ns == nullptr || instances.empty()) {
            return;
        }
        const uint64_t now = fileTimeNow();
        for (auto& inst : instances) {
            const int idx = inst->d_class->findProperty("TIME_CREATED");
            if (idx >= 0 && inst->d_values[idx].d_null) {
                auto stamped = std::make_shared<Instance>(*inst);
                stamped->d_values[idx] = Value::scalar(now);
                inst = std::move(stamped);
            }
        }
        for (const auto& sub : d_subs) {
            if (sub->d_cancelled || !equalsNoCase(sub->d_namespace, ns->d_name)) {
                continue;
            }
            Delivery d{sub, {}, false};
            for (const auto& inst : instances) {
                if (matches(sub->d_query, *inst)) {
                    d.d_objects.push_back(inst);
                }
            }
            if (!d.d_objects.empty()) {
                d_queue.push_back(std::move(d));
            }
        }
        d_cv.notify_all();
    }

    std::shared_ptr<const Repository> repository() const {
        std::lock_guard<std::mutex> lock(d_mutex);
        return d_repo;
    }

    // ------------------------------------------------------------ drop folder
    void scanFolder(const std::string& folder) {
        namespace fs = std::filesystem;
        std::error_code ec;
        std::vector<fs::path> files;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() == ".mof" && it->is_regular_file(ec)) {
                files.push_back(it->path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                continue;  // gone meanwhile
            }
            std::stringstream text;
            text << in.rdbuf();
            in.close();
            std::vector<EventBatch> batches;
            MofError error;
            if (!parseEvents(text.str(), *repository(), &batches, &error)) {
                fs::path bad = file;
                bad.replace_extension(".bad");
                fs::rename(file, bad, ec);
                LOG_WARN("wmi::Provider::scanEventFolder", "Refused event file '%s' (%s): %s",
                         file.string(), error.text(), ec ? "left in place" : "renamed to .bad");
                continue;
            }
            fs::remove(file, ec);
            for (EventBatch& b : batches) {
                raise(b.d_namespace, std::move(b.d_instances));
            }
        }
    }

    void folderLoop(std::string folder, std::chrono::milliseconds poll) {
        std::unique_lock<std::mutex> lock(d_mutex);
        while (!d_folder_stop && !d_stop) {
            lock.unlock();
            scanFolder(folder);
            lock.lock();
            d_cv.wait_for(lock, poll, [&] { return d_folder_stop || d_stop; });
        }
    }

    void stopFolder() {
        std::unique_lock<std::mutex> lock(d_mutex);
        d_folder_stop = true;
        d_cv.notify_all();
        std::thread t = std::move(d_folder_thread);
        lock.unlock();
        joinOrDetach(t);
    }

    // ------------------------------------------------------------ generator
    // Raises events on a fixed schedule: the n-th is due at start + n periods.
    // A thread woken late (a busy machine) raises what fell due meanwhile,
    // so the rate asked for is the rate raised; more than one second behind,
    // the schedule starts again from now instead of raising a burst.
    void generatorLoop(double rate) {
        using Clock = std::chrono::steady_clock;
        std::mt19937 random(static_cast<uint32_t>(fileTimeNow()));
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        Clock::time_point due = Clock::now() + period;
        std::unique_lock<std::mutex> lock(d_mutex);
        for (;;) {
            d_cv.wait_until(lock, due, [&] { return d_generator_stop || d_stop; });
            if (d_generator_stop || d_stop) {
                return;
            }
            const Clock::time_point now = Clock::now();
            if (now - due > std::chrono::seconds(1)) {
                due = now;
            }
            while (due <= now && !d_generator_stop && !d_stop) {
                const uint64_t serial = ++d_serial;
                std::shared_ptr<const Repository> repo = d_repo;
                lock.unlock();
                generateOne(*repo, random, serial);
                lock.lock();
                due += period;
            }
        }
    }

    // The first namespace the sample generator can serve gets the event.
    void generateOne(const Repository& repo, std::mt19937& random, uint64_t serial) {
        for (const Namespace& ns : repo.d_namespaces) {
            if (std::shared_ptr<const Instance> event = sampleAccessEvent(ns, random, serial)) {
                raise(ns.d_name, {std::move(event)});
                return;
            }
        }
    }

    void stopGenerator() {
        std::unique_lock<std::mutex> lock(d_mutex);
        d_generator_stop = true;
        d_cv.notify_all();
        std::thread t = std::move(d_generator_thread);
        lock.unlock();
        joinOrDetach(t);
    }

    static void joinOrDetach(std::thread& t) {
        if (!t.joinable()) {
            return;
        }
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();  // the thread holds its own reference to this state
        } else {
            t.join();
        }
    }

    void shutdown() {
        stopFolder();
        stopGenerator();
        std::unique_lock<std::mutex> lock(d_mutex);
        d_stop = true;
        d_cv.notify_all();
        std::thread t = std::move(d_delivery_thread);
        lock.unlock();
        joinOrDetach(t);
        lock.lock();
        std::vector<std::shared_ptr<Subscription>> subs = std::move(d_subs);
        d_subs.clear();
        d_queue.clear();
        lock.unlock();
        for (const auto& sub : subs) {
            if (sub->d_sink != nullptr) {
                sub->d_sink->Release();
                sub->d_sink = nullptr;
            }
        }
    }
};

// ---------------------------------------------------------------- Provider
Provider::Provider() : d_impl(std::make_shared<Impl>()) {
    d_impl->start();
}

Provider::~Provider() {
    d_impl->shutdown();
}

std::shared_ptr<Provider> Provider::acquire() {
    static std::mutex s_mutex;
    static std::weak_ptr<Provider> s_current;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (std::shared_ptr<Provider> p = s_current.lock()) {
        return p;
    }
    std::shared_ptr<Provider> p(new Provider());
    const char* repo = std::getenv("LUMIVAR_WMI_REPOSITORY");
    if (repo != nullptr && *repo != 0) {
        MofError error;
        if (!p->loadRepositoryFile(repo, &error)) {
            LOG_CRIT("wmi::Provider::acquire", "Refused WMI repository '%s': %s", repo,
                     error.text());
        }
    } else {
        p->loadDefaultRepository();
    }
    const char* rate = std::getenv("LUMIVAR_WMI_EVENT_RATE");
    double perSecond = 1;
    if (rate != nullptr && *rate != 0) {
        char* end = nullptr;
        perSecond = std::strtod(rate, &end);
        if (end == rate || *end != 0 || !(perSecond >= 0) || perSecond > 10000) {
            LOG_WARN("wmi::Provider::acquire", "Ignored LUMIVAR_WMI_EVENT_RATE '%s'", rate);
            perSecond = 1;
        }
    }
    p->setEventRate(perSecond);
    const char* folder = std::getenv("LUMIVAR_WMI_EVENT_DIR");
    if (folder != nullptr && *folder != 0) {
        p->setEventFolder(folder);
    }
    s_current = p;
    return p;
}

bool Provider::loadRepository(std::string_view mofText, MofError* error) {
    auto repo = std::make_shared<Repository>();
    if (!parseRepository(mofText, repo.get(), error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    d_impl->d_repo = std::move(repo);
    return true;
}

bool Provider::loadRepositoryFile(const std::string& path, MofError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr) {
            *error = MofError{0, 0, "cannot read " + path};
        }
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return loadRepository(text.str(), error);
}

void Provider::loadDefaultRepository() {
    MofError error;
    const bool ok = loadRepository(defaultRepositoryText(), &error);
    (void)ok;  // the embedded text is proven by the tests
    installSampleBehaviours(*this);
}

bool Provider::raiseEvents(std::string_view mofText, MofError* error) {
    std::vector<EventBatch> batches;
    if (!parseEvents(mofText, *repository(), &batches, error)) {
        return false;
    }
    for (EventBatch& b : batches) {
        d_impl->raise(b.d_namespace, std::move(b.d_instances));
    }
    return true;
}

void Provider::raise(std::string_view nameSpace,
                     std::vector<std::shared_ptr<const Instance>> instances) {
    d_impl->raise(nameSpace, std::move(instances));
}

bool Provider::waitForDeliveries(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(d_impl->d_mutex);
    return d_impl->d_cv.wait_for(lock, timeout,
                                 [&] { return d_impl->d_queue.empty() && !d_impl->d_delivering; });
}

void Provider::setEventRate(double perSecond) {
    d_impl->stopGenerator();
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    d_impl->d_rate = perSecond;
    d_impl->d_generator_stop = false;
    if (perSecond > 0) {
        std::shared_ptr<Impl> impl = d_impl;
        d_impl->d_generator_thread =
            std::thread([impl, perSecond] { impl->generatorLoop(perSecond); });
    }
}

void Provider::setEventFolder(const std::string& folder, std::chrono::milliseconds poll) {
    d_impl->stopFolder();
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    d_impl->d_folder = folder;
    d_impl->d_poll = poll;
    d_impl->d_folder_stop = false;
    if (!folder.empty()) {
        std::shared_ptr<Impl> impl = d_impl;
        d_impl->d_folder_thread =
            std::thread([impl, folder, poll] { impl->folderLoop(folder, poll); });
    }
}

void Provider::scanEventFolder() {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(d_impl->d_mutex);
        folder = d_impl->d_folder;
    }
    if (!folder.empty()) {
        d_impl->scanFolder(folder);
    }
}

void Provider::setMethodHandler(std::string className, std::string method, MethodHandler handler) {
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    d_impl->d_handlers[lowerKey(className, method)] = std::move(handler);
}

void Provider::subscribe(std::string nameSpace, BoundQuery query, IWbemObjectSink* sink,
                         uint64_t registrar) {
    d_impl->subscribe(std::move(nameSpace), std::move(query), sink, registrar);
}

void Provider::restart(HRESULT finalStatus) {
    d_impl->restart(finalStatus);
}

uint64_t Provider::generation() const {
    return d_impl->d_generation.load();
}

HRESULT Provider::cancel(IWbemObjectSink* sink, uint64_t registrar) {
    return d_impl->cancel(sink, registrar);
}

MethodHandler Provider::methodHandler(std::string_view className, std::string_view method) const {
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    auto it = d_impl->d_handlers.find(lowerKey(className, method));
    return it != d_impl->d_handlers.end() ? it->second : MethodHandler();
}

std::shared_ptr<const Repository> Provider::repository() const {
    return d_impl->repository();
}

size_t Provider::subscriptionCount() const {
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    return d_impl->d_subs.size();
}

uint64_t Provider::deliveryCount() const {
    std::lock_guard<std::mutex> lock(d_impl->d_mutex);
    return d_impl->d_deliveries;
}

}  // namespace wmi::standin
