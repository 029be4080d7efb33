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

    // Released in the reverse order of their making, whichever way this ends.
    wmi::ComPtr<IWbemClassObject> classObject;
    wmi::ComPtr<IWbemClassObject> inSignature;
    wmi::ComPtr<IWbemClassObject> inParams;
    wmi::ComPtr<IWbemClassObject> outParams;

    wmi::Bstr className = wmi::toBstr(request.class_name);
    wmi::Bstr methodName = wmi::toBstr(request.method_name);
    if (!request.params_in.empty()) {
        HRESULT hr = d_services->GetObject(className.get(), 0, nullptr, classObject.out(), nullptr);
        noteWmiResult(hr);
        if (FAILED(hr) || !classObject) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed calling class object '%s'",
                          core::logSafe(request.class_name));
            return finishMethod(reply, false, codeText(hr));
        }
        const HRESULT lastCode = hr;
        try {
            hr = classObject->GetMethod(methodName.get(), 0, inSignature.out(), nullptr);
        } catch (...) {
            // What a call that threw left in its output is not ours to release.
            inSignature.release();
            LOG_WARN(tag, "Failed, cannot spawn instance of input parameters");
            return finishMethod(reply, false, codeText(lastCode));
        }
        if (FAILED(hr)) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed calling method '%s'",
                          core::logSafe(request.method_name));
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Could not execute method. Error code = 0x%x",
                          static_cast<uint32_t>(hr));
            return finishMethod(reply, false, codeText(hr));
        }
        if (inSignature) {
            hr = inSignature->SpawnInstance(0, inParams.out());
        }
        if (FAILED(hr) || !inParams) {
            // A method that declares no inputs has no signature to spawn: the
            // arguments given cannot be passed, which the platform calls an
            // invalid parameter.
            LOG_WARN(tag, "Failed getting inParameters");
            return finishMethod(
                reply, false,
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
                    return finishMethod(reply, false, "Failed reading setting input parameter");
                }
                V_VT(arg.get()) = VT_I4;
                V_I4(arg.get()) = number;
            } else {
                LOG_RATE_SITE(6, core::LOG_WARN, tag, "In Parameter is an unsupported type '%s'",
                              core::logSafe(p.type));
                return finishMethod(reply, false, "Input type not supported");
            }
            wmi::Bstr name = wmi::toBstr(p.name);
            inParams->Put(name.get(), 0, arg.get(), 0);
        }
    }

    wmi::Bstr objectPath =
        wmi::toBstr(request.target_instance.empty() ? request.class_name : request.target_instance);
    HRESULT hr = d_services->ExecMethod(objectPath.get(), methodName.get(), 0, nullptr,
                                        inParams.get(), outParams.out(), nullptr);
    noteWmiResult(hr);
    if (FAILED(hr)) {
        LOG_WARN(tag, "Could not execute method. Error code = 0x%x", static_cast<uint32_t>(hr));
        LOG_WARN(tag, "Error Message: %s", wmi::errorMessage(hr));
        return finishMethod(reply, false, codeText(hr));
    }
    if (!request.params_out.empty() && outParams) {
        for (Parameter& p : reply.params_out) {
            methodOutputValueOf(outParams.get(), p);
        }
        sendToServer(reply);
    }
    finishMethod(reply, true, {});
}
