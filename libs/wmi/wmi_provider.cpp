// wmi_provider.cpp
//
// The provider: repository, subscriptions and the delivery, drop-folder and
// generator threads; and the COM objects that reach it (locator, services,
// unsecured apartment and its stubs).
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

// ---------------------------------------------------------------- MethodCall
const Value* MethodCall::input(std::string_view name) const {
    for (const auto& [n, v] : d_inputs) {
        if (equalsNoCase(n, name)) {
            return &v;
        }
    }
    return nullptr;
}

bool MethodCall::setOutput(std::string_view name, Value value) {
    for (auto& [n, v] : d_outputs) {
        if (equalsNoCase(n, name)) {
            v = std::move(value);
            return true;
        }
    }
    return false;
}

bool MethodCall::setOutput(std::string_view name, std::string_view text) {
    CimType type;
    bool found = false;
    if (equalsNoCase(name, "ReturnValue") && d_method->d_has_return) {
        type = d_method->d_return_type;
        found = true;
    }
    for (const ParamDecl& p : d_method->d_params) {
        if (p.d_out && equalsNoCase(p.d_name, name)) {
            type = p.d_type;
            found = true;
        }
    }
    Scalar s;
    if (!found || type.d_array || !scalarFromText(type.d_base, text, &s)) {
        return false;
    }
    return setOutput(name, Value::scalar(std::move(s)));
}

// ---------------------------------------------------------------- Impl
namespace {

struct Subscription {
    std::string d_namespace;  // the repository's spelling
    BoundQuery d_query;
    IWbemObjectSink* d_sink = nullptr;  // one reference, released when finished
    uint64_t d_registrar = 0;           // serial of the services proxy that made it
    bool d_cancelled = false;
    bool d_finished = false;
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

// CIM datetime of now, "yyyymmddHHMMSS.mmmmmm+000" in UTC.
std::string cimNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%06ld+000", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000);
    return buf;
}

void finishSubscription(Subscription& sub) {
    if (sub.d_sink != nullptr) {
        sub.d_sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
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
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / rate));
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

    void generateOne(const Repository& repo, std::mt19937& random, uint64_t serial) {
        for (const Namespace& ns : repo.d_namespaces) {
            std::shared_ptr<const ClassDecl> event = ns.findClass("Lnl_AccessEvent");
            std::shared_ptr<const ClassDecl> badge = ns.findClass("Lnl_Badge");
            if (!event || !badge) {
                continue;
            }
            std::vector<std::string> cards;
            const int idIndex = badge->findProperty("ID");
            for (const auto& inst : ns.d_instances) {
                if (idIndex >= 0 && inst->d_class == badge && !inst->d_values[idIndex].d_null) {
                    cards.push_back(scalarText(inst->d_values[idIndex].d_items.front()));
                }
            }
            const bool known = !cards.empty() && random() % 100 < 85;
            const std::string card =
                known ? cards[random() % cards.size()] : std::to_string(900000 + random() % 100000);
            static const char* const k_READERS[] = {"Main Entrance", "Loading Dock", "Server Room",
                                                    "Staff Car Park", "North Stairwell"};
            const uint32_t reader = random() % 5;
            auto inst = std::make_shared<Instance>();
            inst->d_class = event;
            inst->d_values.resize(event->d_properties.size());
            auto set = [&](const char* name, const std::string& text) {
                const int idx = event->findProperty(name);
                Scalar s;
                if (idx >= 0 && !event->d_properties[idx].d_type.d_array &&
                    scalarFromText(event->d_properties[idx].d_type.d_base, text, &s)) {
                    inst->d_values[idx] = Value::scalar(std::move(s));
                }
            };
            set("CardNumber", card);
            set("SerialNumber", std::to_string(serial));
            set("Time", cimNow());
            set("PanelID", "1");
            set("ReaderID", std::to_string(reader + 1));
            set("ReaderName", k_READERS[reader]);
            set("EventType", "0");
            set("Granted", known ? "true" : "false");
            set("Description", known ? "Access Granted" : "Access Denied: Invalid Badge");
            raise(ns.d_name, {inst});
            return;
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

// ---------------------------------------------------------------- Services
namespace {

template <class T>
void clearOut(T** p) {
    if (p != nullptr) {
        *p = nullptr;
    }
}

class Services final : public ComObject<IWbemServices> {
  public:
    Services(std::shared_ptr<Provider> provider, std::string nameSpace)
        : d_provider(std::move(provider)), d_namespace(std::move(nameSpace)) {}

    // Proxies are told apart by serial, not address: a freed proxy's address
    // may come back with the next one.
    static uint64_t nextSerial() {
        static std::atomic<uint64_t> s_serial{0};
        return ++s_serial;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, long, IWbemContext*,
                                            IWbemServices** ppWorkingNamespace,
                                            IWbemCallResult** ppResult) override {
        clearOut(ppWorkingNamespace);
        clearOut(ppResult);
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) override {
        if (pSink == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        return d_provider->impl()->cancel(pSink, d_serial);
    }

    HRESULT STDMETHODCALLTYPE QueryObjectSink(long, IWbemObjectSink** ppResponseHandler) override {
        clearOut(ppResponseHandler);
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, long, IWbemContext*,
                                        IWbemClassObject** ppObject,
                                        IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        if (ppObject == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppObject = nullptr;
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        ObjectPath path;
        if (strObjectPath == nullptr || !parseObjectPath(fromBstr(strObjectPath), &path)) {
            return WBEM_E_INVALID_OBJECT_PATH;
        }
        std::shared_ptr<const ClassDecl> cls = ns->findClass(path.d_class);
        if (!cls) {
            return WBEM_E_NOT_FOUND;
        }
        if (!path.d_instance) {
            *ppObject = ClassObject::newClass(cls);
            return WBEM_S_NO_ERROR;
        }
        std::shared_ptr<const Instance> inst = findInstance(*ns, *cls, path);
        if (!inst) {
            return WBEM_E_NOT_FOUND;
        }
        *ppObject = ClassObject::newInstance(inst);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, long, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, long, IWbemContext*,
                                       IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, long, IWbemContext*,
                                            IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, long, IWbemContext*,
                                          IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, long, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, long, IWbemContext*,
                                              IEnumWbemClassObject** ppEnum) override {
        clearOut(ppEnum);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, long, IWbemContext*,
                                                   IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, long, IWbemContext*,
                                          IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, long, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, long, IWbemContext*,
                                             IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, long, IWbemContext*,
                                                  IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, long lFlags,
                                                 IWbemContext* pCtx,
                                                 IEnumWbemClassObject** ppEnum) override {
        if (strFilter == nullptr) {
            clearOut(ppEnum);
            return WBEM_E_INVALID_PARAMETER;
        }
        Bstr wql = toBstr("WQL");
        Bstr query = toBstr("SELECT * FROM " + fromBstr(strFilter));
        return ExecQuery(wql.get(), query.get(), lFlags, pCtx, ppEnum);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, long, IWbemContext*,
                                                      IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                        long lFlags, IWbemContext*,
                                        IEnumWbemClassObject** ppEnum) override {
        if (ppEnum == nullptr || strQuery == nullptr || strQueryLanguage == nullptr) {
            clearOut(ppEnum);
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppEnum = nullptr;
        if (!equalsNoCase(fromBstr(strQueryLanguage), "WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        WqlQuery query;
        if (!parseWql(fromBstr(strQuery), &query)) {
            return WBEM_E_INVALID_QUERY;
        }
        BoundQuery bound;
        if (const HRESULT hr = bindWql(query, *ns, &bound); FAILED(hr)) {
            return hr;
        }
        if (bound.d_class->d_query_error) {
            return *bound.d_class->d_query_error;
        }
        simulateLatency(bound.d_class->d_latency_ms);
        std::vector<std::shared_ptr<const Instance>> results;
        for (const auto& inst : ns->d_instances) {
            if (matches(bound, *inst)) {
                results.push_back(inst);
            }
        }
        *ppEnum = new Enumerator(std::move(results), bound.d_class->d_latency_ms,
                                 (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, long, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, long, IWbemContext*,
                                                    IEnumWbemClassObject** ppEnum) override {
        clearOut(ppEnum);
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE
    ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, long lFlags,
                               IWbemContext*, IWbemObjectSink* pResponseHandler) override {
        if (pResponseHandler == nullptr || strQuery == nullptr || strQueryLanguage == nullptr ||
            (lFlags & ~static_cast<long>(WBEM_FLAG_SEND_STATUS)) != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (!equalsNoCase(fromBstr(strQueryLanguage), "WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        WqlQuery query;
        if (!parseWql(fromBstr(strQuery), &query)) {
            return WBEM_E_INVALID_QUERY;
        }
        auto sub = std::make_shared<Subscription>();
        if (const HRESULT hr = bindWql(query, *ns, &sub->d_query); FAILED(hr)) {
            return hr;
        }
        if (sub->d_query.d_class->d_subscribe_error) {
            return *sub->d_query.d_class->d_subscribe_error;
        }
        sub->d_namespace = ns->d_name;
        sub->d_registrar = d_serial;
        pResponseHandler->AddRef();
        sub->d_sink = pResponseHandler;
        Provider::Impl& impl = *d_provider->impl();
        std::lock_guard<std::mutex> lock(impl.d_mutex);
        impl.d_subs.push_back(std::move(sub));
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, long,
                                         IWbemContext*, IWbemClassObject* pInParams,
                                         IWbemClassObject** ppOutParams,
                                         IWbemCallResult** ppCallResult) override {
        clearOut(ppOutParams);
        clearOut(ppCallResult);
        if (strObjectPath == nullptr || strMethodName == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        ObjectPath path;
        if (!parseObjectPath(fromBstr(strObjectPath), &path)) {
            return WBEM_E_INVALID_OBJECT_PATH;
        }
        MethodCall call;
        call.d_class = ns->findClass(path.d_class);
        if (!call.d_class) {
            return WBEM_E_INVALID_CLASS;
        }
        if (path.d_instance) {
            call.d_target = findInstance(*ns, *call.d_class, path);
            if (!call.d_target) {
                return WBEM_E_NOT_FOUND;
            }
        }
        // A method runs as its instance's class declares it.
        const ClassDecl& owner = call.d_target ? *call.d_target->d_class : *call.d_class;
        call.d_method = owner.findMethod(fromBstr(strMethodName));
        if (call.d_method == nullptr) {
            return WBEM_E_INVALID_METHOD;
        }
        if (call.d_method->d_exec_error) {
            return *call.d_method->d_exec_error;
        }
        if (const HRESULT hr = readInputs(pInParams, &call); FAILED(hr)) {
            return hr;
        }
        for (const ParamDecl& p : call.d_method->d_params) {
            if (p.d_out) {
                const Value* in = p.d_in ? call.input(p.d_name) : nullptr;
                call.d_outputs.emplace_back(p.d_name, in ? *in : Value::null());
            }
        }
        if (call.d_method->d_has_return) {
            Scalar zero;
            Value v;
            if (scalarFromInteger(call.d_method->d_return_type.d_base, 0, &zero)) {
                v = Value::scalar(zero);
            } else if (call.d_method->d_return_type.d_base == CimBase::e_BOOLEAN) {
                v = Value::scalar(false);
            } else if (call.d_method->d_return_type.d_base == CimBase::e_STRING) {
                v = Value::scalar(std::string());
            }
            call.d_outputs.emplace_back("ReturnValue", v);
        }
        MethodHandler handler;
        {
            Provider::Impl& impl = *d_provider->impl();
            std::lock_guard<std::mutex> lock(impl.d_mutex);
            auto it = impl.d_handlers.find(lowerKey(owner.d_name, call.d_method->d_name));
            if (it != impl.d_handlers.end()) {
                handler = it->second;
            }
        }
        if (handler) {
            if (const HRESULT hr = handler(call); FAILED(hr)) {
                return hr;
            }
        }
        if (ppOutParams != nullptr) {
            if (std::shared_ptr<const ClassDecl> sig =
                    makeSignature(owner, *call.d_method, false)) {
                std::vector<Value> values(sig->d_properties.size());
                for (size_t i = 0; i < sig->d_properties.size(); ++i) {
                    for (const auto& [name, v] : call.d_outputs) {
                        if (equalsNoCase(name, sig->d_properties[i].d_name)) {
                            values[i] = v;
                        }
                    }
                }
                *ppOutParams = ClassObject::newInstance(std::move(sig), std::move(values));
            }
        }
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, long, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

  private:
    // Every [in] parameter must be given, with a value of its type; nothing
    // else may be given.
    static HRESULT readInputs(IWbemClassObject* pInParams, MethodCall* call) {
        const ClassObject* in = nullptr;
        std::vector<Value> given;
        if (pInParams != nullptr) {
            in = dynamic_cast<ClassObject*>(pInParams);
            if (in == nullptr) {
                return WBEM_E_INVALID_PARAMETER;
            }
            given = in->values();
            for (size_t i = 0; i < given.size(); ++i) {
                const std::string& name = in->decl()->d_properties[i].d_name;
                const bool declared = std::any_of(
                    call->d_method->d_params.begin(), call->d_method->d_params.end(),
                    [&](const ParamDecl& p) { return p.d_in && equalsNoCase(p.d_name, name); });
                if (!declared && !given[i].d_null) {
                    return WBEM_E_INVALID_PARAMETER;
                }
            }
        }
        for (const ParamDecl& p : call->d_method->d_params) {
            if (!p.d_in) {
                continue;
            }
            const int idx = in ? in->decl()->findProperty(p.d_name) : -1;
            if (idx < 0 || given[idx].d_null) {
                return WBEM_E_INVALID_PARAMETER;
            }
            const CimType have = in->decl()->d_properties[idx].d_type;
            Value v = given[idx];
            if (have.d_base != p.d_type.d_base || have.d_array != p.d_type.d_array) {
                VARIANT var;
                valueToVariant(have, given[idx], &var);
                const HRESULT hr = valueFromVariant(p.d_type, var, &v);
                VariantClear(&var);
                if (FAILED(hr)) {
                    return WBEM_E_TYPE_MISMATCH;
                }
            }
            call->d_inputs.emplace_back(p.d_name, std::move(v));
        }
        return WBEM_S_NO_ERROR;
    }

    std::shared_ptr<Provider> d_provider;
    std::string d_namespace;
    const uint64_t d_serial = nextSerial();
};

// ---------------------------------------------------------------- Locator
class Locator final : public ComObject<IWbemLocator> {
  public:
    Locator() : d_provider(Provider::acquire()) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                            const BSTR, const BSTR, long, const BSTR, IWbemContext*,
                                            IWbemServices** ppNamespace) override {
        if (ppNamespace == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppNamespace = nullptr;
        if (const HRESULT f = fault(Fault::e_CONNECT_SERVER); f != S_OK) {
            return f;
        }
        if (strUser != nullptr && SysStringLen(strUser) > 0) {
            return WBEM_E_LOCAL_CREDENTIALS;
        }
        const std::string path = fromBstr(strNetworkResource);
        std::string p = path;
        std::replace(p.begin(), p.end(), '/', '\\');
        if (p.rfind("\\\\", 0) == 0) {
            const size_t end = p.find('\\', 2);
            if (!isLocalServer(p.substr(2, end == std::string::npos ? end : end - 2))) {
                return RPC_S_SERVER_UNAVAILABLE_HR;  // another machine
            }
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(path);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        markSecurityInitialised();
        *ppNamespace = new Services(d_provider, ns->d_name);
        return WBEM_S_NO_ERROR;
    }

  private:
    std::shared_ptr<Provider> d_provider;
};

// ---------------------------------------------------------------- apartment
// Forwards the sink calls WMI makes to the wrapped object.
class Stub final : public ComObject<IWbemObjectSink> {
  public:
    explicit Stub(IUnknown* object) : d_object(object) {
        d_object->AddRef();
        void* sink = nullptr;
        if (SUCCEEDED(d_object->QueryInterface(IID_IWbemObjectSink, &sink))) {
            d_sink = static_cast<IWbemObjectSink*>(sink);
        }
    }
    ~Stub() override {
        if (d_sink != nullptr) {
            d_sink->Release();
        }
        d_object->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv != nullptr && riid == IID_IWbemObjectSink && d_sink == nullptr) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject<IWbemObjectSink>::QueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE Indicate(long lObjectCount, IWbemClassObject** apObjArray) override {
        return d_sink != nullptr ? d_sink->Indicate(lObjectCount, apObjArray) : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(long lFlags, HRESULT hResult, BSTR strParam,
                                        IWbemClassObject* pObjParam) override {
        return d_sink != nullptr ? d_sink->SetStatus(lFlags, hResult, strParam, pObjParam)
                                 : E_NOINTERFACE;
    }

  private:
    IUnknown* d_object;
    IWbemObjectSink* d_sink = nullptr;
};

class Apartment final : public ComObject<IUnsecuredApartment> {
  public:
    HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* pObject, IUnknown** ppStub) override {
        if (ppStub == nullptr || pObject == nullptr) {
            return E_POINTER;
        }
        *ppStub = nullptr;
        if (const HRESULT f = fault(Fault::e_CREATE_OBJECT_STUB); f != S_OK) {
            return f;
        }
        *ppStub = static_cast<IWbemObjectSink*>(new Stub(pObject));
        return S_OK;
    }
};

}  // namespace

IUnknown* createLocator() {
    return static_cast<IWbemLocator*>(new Locator());
}

IUnknown* createApartment() {
    return static_cast<IUnsecuredApartment*>(new Apartment());
}

}  // namespace wmi::standin
