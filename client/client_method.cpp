// Method execution for the NVR: the input object built from the method's
// signature, the execution on the class or an instance, the output values and
// the completion message.

#include "client.h"
#include "client_variant.h"
#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "cutl_environment.h"

namespace {

// Parses the whole of 'text' as a signed 32-bit decimal number.
bool parseInt32(const std::string& text, int32_t* value) {
    if (text.empty()) {
        return false;
    }
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        return false;
    }
    int64_t n = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        n = n * 10 + (text[i] - '0');
        if (n > 2147483648LL) {
            return false;
        }
    }
    n = negative ? -n : n;
    if (n > INT32_MAX || n < INT32_MIN) {
        return false;
    }
    *value = static_cast<int32_t>(n);
    return true;
}

// Whether a semisynchronous call was refused for the output pointer given
// beside the call-result pointer (a WMI that reads the protocol strictly
// checks that before it runs anything): it is then made again without it.
bool refusedOutPointer(HRESULT hr, IWbemCallResult* call) {
    return hr == static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER) && call == nullptr;
}

std::string codeText(HRESULT hr) {
    return core::strFormat("0x%x", static_cast<uint32_t>(hr));
}

}  // namespace

void Client::finishMethod(Message& reply, bool success, const std::string& failure) {
    reply.action = e_ACTION_COMPLETION;
    reply.params_out.clear();
    if (success) {
        reply.params_out.push_back({"Success", "", "str"});
        ++d_counters.execute_success;
    } else {
        reply.params_out.push_back({"Failed", failure, "str"});
        ++d_counters.execute_failed;
    }
    sendToServer(reply);
}

void Client::executeMethod(const Message& request) {
    const char* tag = "Client::executeMethod";
    if (!CHECKF(request.action == e_ACTION_EXECUTE, "%d", request.action)) {
        return;
    }
    if (d_namespace_path.empty() || !d_services) {
        return;
    }
    Message reply = request;
    LOG_INFO(tag, "Executing method '%s' on class '%s'", core::logSafe(request.method_name),
             core::logSafe(request.class_name));
    LOG_NORM(tag, "Target instance = '%s'", core::logSafe(request.target_instance));
    if (!d_policy.allowsNamespace(d_namespace_path)) {
        LOG_RATE_SITE(6, core::LOG_WARN, tag,
                      "Method '%s' refused: namespace '%s' is no longer in Namespaces of section "
                      "Security",
                      core::logSafe(request.method_name), core::logSafe(d_namespace_path));
        return finishMethod(reply, false, codeText(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)));
    }
    if (!d_policy.allowsMethod(request.class_name, request.method_name)) {
        LOG_RATE_SITE(6, core::LOG_WARN, tag,
                      "Method '%s' of class '%s' refused: not in Methods of section Security",
                      core::logSafe(request.method_name), core::logSafe(request.class_name));
        return finishMethod(reply, false, codeText(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)));
    }
    if (!request.target_instance.empty()) {
        const std::string problem = methodTargetProblem(request.target_instance, request.class_name,
                                                        d_namespace_path, cutl::localHostName());
        if (!problem.empty()) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Method '%s' of class '%s' refused: %s",
                          core::logSafe(request.method_name), core::logSafe(request.class_name),
                          core::logSafe(problem));
            return finishMethod(reply, false, codeText(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)));
        }
    }

    d_method_reply = std::move(reply);
    // One bound for the whole request, whichever steps it takes.
    restartTimer(d_method_wait_timer, k_METHOD_WAIT_MS);
    if (request.params_in.empty()) {
        return runMethod(nullptr, S_OK);
    }
    wmi::Bstr className = wmi::toBstr(request.class_name);
    wmi::ComPtr<IWbemClassObject> classObject;
    wmi::ComPtr<IWbemCallResult> call;
    // Semisynchronous, as the execution below.
    HRESULT hr = d_services->GetObject(className.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                       classObject.out(), call.out());
    if (refusedOutPointer(hr, call.get())) {
        hr = d_services->GetObject(className.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, nullptr,
                                   call.out());
    }
    awaitMethodStep(MethodStep::e_CLASS, hr, std::move(classObject), std::move(call));
}

void Client::awaitMethodStep(MethodStep step, HRESULT hr, wmi::ComPtr<IWbemClassObject> object,
                             wmi::ComPtr<IWbemCallResult> call) {
    noteWmiResult(hr);
    if (SUCCEEDED(hr) && call) {
        // WMI works on it; the loop asks for the result from the next pass.
        d_method_call = std::move(call);
        d_method_step = step;
        restartTimer(d_method_poll_timer, k_METHOD_POLL_MS);
        return;
    }
    methodStepDone(step, hr, std::move(object));
}

void Client::pollMethod() {
    if (!d_method_call) {
        killTimer(d_method_poll_timer);
        return;
    }
    wmi::ComPtr<IWbemClassObject> object;
    const HRESULT hr = d_method_call->GetResultObject(WBEM_NO_WAIT, object.out());
    if (hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT)) {
        return;
    }
    killTimer(d_method_poll_timer);
    d_method_call.reset();
    noteWmiResult(hr);
    methodStepDone(d_method_step, hr, std::move(object));
    if (!d_method_call) {
        resumeRequests();  // those held behind it
    }
}

void Client::methodTimedOut() {
    if (!d_method_call) {
        killTimer(d_method_wait_timer);
        return;
    }
    // WMI offers no way to cancel the call: its result is let go.
    LOG_RATE_SITE(6, core::LOG_WARN, "Client::executeMethod",
                  "Method '%s' of class '%s' gave no result within %d s",
                  core::logSafe(d_method_reply.method_name),
                  core::logSafe(d_method_reply.class_name), k_METHOD_WAIT_MS / 1000);
    failMethod(codeText(static_cast<HRESULT>(WBEM_E_TIMED_OUT)));
    resumeRequests();
}

void Client::failMethod(const std::string& failure) {
    Message reply = std::move(d_method_reply);
    endMethod();
    finishMethod(reply, false, failure);
}

void Client::endMethod() {
    killTimer(d_method_poll_timer);
    killTimer(d_method_wait_timer);
    d_method_call.reset();
    d_method_reply = Message();
}

void Client::methodStepDone(MethodStep step, HRESULT hr, wmi::ComPtr<IWbemClassObject> object) {
    const char* tag = "Client::executeMethod";
    if (step == MethodStep::e_CLASS) {
        if (FAILED(hr) || !object) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed calling class object '%s'",
                          core::logSafe(d_method_reply.class_name));
            return failMethod(codeText(hr));
        }
        return runMethod(object.get(), hr);
    }
    if (FAILED(hr)) {
        LOG_WARN(tag, "Could not execute method. Error code = 0x%x", static_cast<uint32_t>(hr));
        LOG_WARN(tag, "Error Message: %s", wmi::errorMessage(hr));
        return failMethod(codeText(hr));
    }
    Message reply = std::move(d_method_reply);
    endMethod();
    if (!reply.params_out.empty() && object) {
        for (Parameter& p : reply.params_out) {
            methodOutputValueOf(object.get(), p);
        }
        sendToServer(reply);
    }
    finishMethod(reply, true, {});
}

void Client::runMethod(IWbemClassObject* classObject, HRESULT lastCode) {
    const char* tag = "Client::executeMethod";
    const Message& request = d_method_reply;
    if (!d_services) {
        // The session went away while the class was read.
        return failMethod(codeText(RPC_E_DISCONNECTED));
    }
    // Released in the reverse order of their making, whichever way this ends.
    wmi::ComPtr<IWbemClassObject> inSignature;
    wmi::ComPtr<IWbemClassObject> inParams;

    wmi::Bstr methodName = wmi::toBstr(request.method_name);
    if (classObject) {
        HRESULT hr = S_OK;
        try {
            hr = classObject->GetMethod(methodName.get(), 0, inSignature.out(), nullptr);
        } catch (...) {
            // What a call that threw left in its output is not ours to release.
            inSignature.release();
            LOG_WARN(tag, "Failed, cannot spawn instance of input parameters");
            return failMethod(codeText(lastCode));
        }
        if (FAILED(hr)) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed calling method '%s'",
                          core::logSafe(request.method_name));
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Could not execute method. Error code = 0x%x",
                          static_cast<uint32_t>(hr));
            return failMethod(codeText(hr));
        }
        if (inSignature) {
            hr = inSignature->SpawnInstance(0, inParams.out());
        }
        if (FAILED(hr) || !inParams) {
            // A method that declares no inputs has no signature to spawn: the
            // arguments given cannot be passed, which the platform calls an
            // invalid parameter.
            LOG_WARN(tag, "Failed getting inParameters");
            return failMethod(
                codeText(FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER)));
        }
        for (const Parameter& p : request.params_in) {
            wmi::Variant arg;
            if (p.type == "str") {
                V_VT(arg.get()) = VT_BSTR;
                V_BSTR(arg.get()) = wmi::toBstr(p.value).release();
            } else if (p.type == "int") {
                int32_t number = 0;
                if (!parseInt32(p.value, &number)) {
                    LOG_RATE_SITE(6, core::LOG_WARN, tag,
                                  "Parameter could not be converted to int: '%s'",
                                  core::logSafe(p.value));
                    return failMethod("Failed reading setting input parameter");
                }
                V_VT(arg.get()) = VT_I4;
                V_I4(arg.get()) = number;
            } else {
                LOG_RATE_SITE(6, core::LOG_WARN, tag, "In Parameter is an unsupported type '%s'",
                              core::logSafe(p.type));
                return failMethod("Input type not supported");
            }
            wmi::Bstr name = wmi::toBstr(p.name);
            inParams->Put(name.get(), 0, arg.get(), 0);
        }
    }

    wmi::Bstr objectPath =
        wmi::toBstr(request.target_instance.empty() ? request.class_name : request.target_instance);
    wmi::ComPtr<IWbemClassObject> outParams;
    wmi::ComPtr<IWbemCallResult> call;
    // Semisynchronous: a provider that takes minutes must not hold the loop.
    // WMI leaves the output pointer null in this form; a WMI that ignores
    // the flag (Wine's does) runs the method at once and answers through it.
    HRESULT hr =
        d_services->ExecMethod(objectPath.get(), methodName.get(), WBEM_FLAG_RETURN_IMMEDIATELY,
                               nullptr, inParams.get(), outParams.out(), call.out());
    if (refusedOutPointer(hr, call.get())) {
        hr = d_services->ExecMethod(objectPath.get(), methodName.get(),
                                    WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, inParams.get(), nullptr,
                                    call.out());
    }
    awaitMethodStep(MethodStep::e_EXECUTE, hr, std::move(outParams), std::move(call));
}
