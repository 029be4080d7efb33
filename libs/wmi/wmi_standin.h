// wmi_standin.h                                                    -*-C++-*-
//
// The in-process provider behind the COM/WMI declarations of wmi_comtypes.h
// (whose COM objects, wmi_services.h, answer from it), and its C++ interface
// for tests and tools.
//
// 'Provider' is the "WMI installation" of the process: a repository (the MOF
// file named by LUMIVAR_WMI_REPOSITORY, or the embedded access-control
// sample), the event subscriptions, and three threads of its own: the
// delivery thread (every 'Indicate' and 'SetStatus' runs there, never on the
// caller's thread), the drop-folder watch (LUMIVAR_WMI_EVENT_DIR) and the
// sample event generator (LUMIVAR_WMI_EVENT_RATE per second, default 1, 0 =
// off; it runs only when the repository has Lnl_AccessEvent and Lnl_Badge).
//
// Lifetime: one provider exists while anybody holds it: a test's shared
// pointer, a locator (CoCreateInstance of CLSID_WbemLocator) or a services
// proxy.  When the last holder lets go, its threads are stopped and joined and
// remaining subscriptions are released; the next 'acquire' builds a new one
// from the environment.  Never let go of the last holder inside a sink call.
//
// Every operation may be called from any thread; the provider's state is
// guarded by a mutex of its own, never held while a sink is called.  Do not
// 'cancel' while holding a lock that the sink's 'Indicate' takes.  Faults and
// counters are process-wide and may be used from any thread.
#ifndef INCLUDED_WMI_STANDIN
#define INCLUDED_WMI_STANDIN

#include "wmi_com.h"
#include "wmi_mof.h"
#include "wmi_repository.h"
#include "wmi_wql.h"

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wmi::standin {

// ---------------------------------------------------------------- faults
// Platform calls that tests can make fail with a chosen code.
enum class Fault {
    e_CO_INITIALIZE,           // CoInitializeEx
    e_CO_INITIALIZE_SECURITY,  // CoInitializeSecurity
    e_CREATE_LOCATOR,          // CoCreateInstance(CLSID_WbemLocator)
    e_CREATE_APARTMENT,        // CoCreateInstance(CLSID_UnsecuredApartment)
    e_PROXY_BLANKET,           // CoSetProxyBlanket
    e_CONNECT_SERVER,          // IWbemLocator::ConnectServer
    e_CREATE_OBJECT_STUB,      // IUnsecuredApartment::CreateObjectStub
    e_CREATE_SINK_STUB,        // IWbemUnsecuredApartment::CreateSinkStub
    // QueryInterface of the apartment for IWbemUnsecuredApartment, as on a
    // system that has only the unchecked form (E_NOINTERFACE)
    e_CHECKED_APARTMENT,
    // GetObject and ExecMethod with WBEM_FLAG_RETURN_IMMEDIATELY given an
    // object or output pointer beside the call-result pointer, which a strict
    // WMI may refuse before it runs anything
    e_SEMISYNC_OUT_POINTER,
    e_COUNT
};

// Makes every later call of 'which' fail with 'code' (S_OK clears it).
void setFault(Fault which, HRESULT code);
void clearFaults();
HRESULT fault(Fault which);

// A sink call that comes from another local account, not from WMI: a stub
// made by CreateSinkStub with WBEM_FLAG_UNSECAPP_CHECK_ACCESS refuses it
// (E_ACCESSDENIED); any other stub passes it on as one 'Indicate' of
// 'object'.  E_INVALIDARG when 'stub' is no stub of the stand-in.
HRESULT forgeIndicate(IWbemObjectSink* stub, IWbemClassObject* object);

// ---------------------------------------------------------------- counters
// Stand-in COM objects, BSTRs and SAFEARRAYs alive in the process.  A test
// that released everything it obtained sees these back at their start values.
int liveObjects();
int liveStrings();
int liveArrays();

// How [LatencyMs] waits: tests install a function that records the waits
// instead of sleeping (null restores sleeping).
using LatencySleep = void (*)(int ms);
void setLatencySleep(LatencySleep sleep);

// Forgets that CoInitializeSecurity was called, so that one process can test
// the first call more than once.
void resetProcessSecurity();

// ---------------------------------------------------------------- methods
// One execution of a method, as seen by a behaviour installed with
// 'Provider::setMethodHandler'.
struct MethodCall {
    std::shared_ptr<const ClassDecl> d_class;
    const MethodDecl* d_method = nullptr;
    std::shared_ptr<const Instance> d_target;              // null when run on the class path
    std::vector<std::pair<std::string, Value>> d_inputs;   // [in] parameters, declared order
    std::vector<std::pair<std::string, Value>> d_outputs;  // [out] parameters and ReturnValue

    // The input called 'name' (null when none).
    const Value* input(std::string_view name) const;
    // Sets the output called 'name'; false when the method has no such output
    // or 'text' does not fit its type.
    bool setOutput(std::string_view name, std::string_view text);
    bool setOutput(std::string_view name, Value value);
};

// Answers S_OK or the failure code ExecMethod returns.  Called on the thread
// that called ExecMethod.
using MethodHandler = std::function<HRESULT(MethodCall& call)>;

// ---------------------------------------------------------------- provider
class Provider {
  public:
    // CREATORS
    // The process's provider, created from the environment when none exists.
    static std::shared_ptr<Provider> acquire();

    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider();

    // MANIPULATORS
    // Replaces the repository by 'mofText'; false (repository unchanged) with
    // 'error' filled when the text is refused.  Existing subscriptions stay.
    bool loadRepository(std::string_view mofText, MofError* error);
    bool loadRepositoryFile(const std::string& path, MofError* error);
    // Replaces the repository by the embedded access-control sample.
    void loadDefaultRepository();

    // Raises the 'instance of' blocks of 'mofText' (classes of the current
    // repository): one delivery per namespace to every matching subscription.
    bool raiseEvents(std::string_view mofText, MofError* error);
    // Raises ready-made instances in 'nameSpace' as one delivery.
    void raise(std::string_view nameSpace, std::vector<std::shared_ptr<const Instance>> instances);

    // Waits until every delivery queued so far has been made; false when
    // 'timeout' passed first.
    bool waitForDeliveries(std::chrono::milliseconds timeout);

    // Sample events per second (0 stops the generator).
    void setEventRate(double perSecond);
    // Watches 'folder' for *.mof event files ("" stops watching); 'poll' is
    // the interval between scans.
    void setEventFolder(const std::string& folder,
                        std::chrono::milliseconds poll = std::chrono::milliseconds(200));
    // Scans the event folder once, now (on the calling thread).
    void scanEventFolder();

    // Installs the behaviour of 'className'.'method' (replacing the generic one).
    void setMethodHandler(std::string className, std::string method, MethodHandler handler);

    // Registers 'sink' (taking one reference) for the objects 'query' matches
    // among those raised in 'nameSpace' (the repository's spelling), on behalf
    // of the services proxy numbered 'registrar'.
    void subscribe(std::string nameSpace, BoundQuery query, IWbemObjectSink* sink,
                   uint64_t registrar);
    // Ends the subscription of 'sink' made through 'registrar': no delivery
    // follows once this returns, the sink gets its final status and its
    // reference back on the delivery thread.  WBEM_E_NOT_FOUND when that proxy
    // has no such subscription (another proxy's subscription stays).
    HRESULT cancel(IWbemObjectSink* sink, uint64_t registrar);

    // Plays a restart of the WMI service: every services proxy made before
    // answers RPC_E_DISCONNECTED from now on, every subscription ends with a
    // final SetStatus of 'finalStatus' (on the delivery thread, not waited
    // for) and events not yet delivered are lost.  New connections work
    // unless the ConnectServer fault says otherwise.
    void restart(HRESULT finalStatus = WBEM_E_SHUTTING_DOWN);

    // ACCESSORS
    // Restarts so far.
    uint64_t generation() const;
    std::shared_ptr<const Repository> repository() const;
    // The behaviour installed for 'className'.'method'; empty when none.
    MethodHandler methodHandler(std::string_view className, std::string_view method) const;
    size_t subscriptionCount() const;
    // Deliveries made so far ('Indicate' calls).
    uint64_t deliveryCount() const;

  private:
    struct Impl;
    Provider();
    std::shared_ptr<Impl> d_impl;
};

// The MOF declarations of the access-control classes (Lnl_Person, Lnl_Badge,
// Lnl_MultimediaObject, Lnl_AccessEvent) without a namespace line: the text of
// wmi_accessschema.mof, which the sample and the tests declare them from.
const char* accessControlSchema();

// The MOF text of the embedded access-control sample (namespace
// root\AccessControl; see docs/wmi-standin.md).
const std::string& defaultRepositoryText();

// Installs the documented behaviours of the sample's device methods.
void installSampleBehaviours(Provider& provider);

// A small valid PNG image (a portrait of 'seed'), as used for the sample photos.
std::vector<uint8_t> samplePortrait(uint32_t seed);

// One generated sample access event of 'ns' (serial number 'serial'), or null
// when 'ns' lacks Lnl_AccessEvent or Lnl_Badge: about 85 % carry the card
// number of a badge of 'ns', the rest unknown numbers (900000 and up); the
// reader is one of the sample's doors.
std::shared_ptr<const Instance> sampleAccessEvent(const Namespace& ns, std::mt19937& random,
                                                  uint64_t serial);

}  // namespace wmi::standin

#endif
