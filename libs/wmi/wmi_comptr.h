// wmi_comptr.h                                                     -*-C++-*-
//
// Owning holders for what COM hands out, the same on every platform (header
// only): 'ComPtr<T>' owns one reference of an interface and releases it when
// it goes away; 'Variant' is a VARIANT that is cleared when it goes away.
// Beside 'Bstr' (wmi_text.h), they make ownership visible in the types: a raw
// interface pointer is borrowed, a 'ComPtr' is owned.
//
// Thread safety: a holder is used by one thread at a time; the references it
// holds follow the rules of the object behind them.
#ifndef INCLUDED_WMI_COMPTR
#define INCLUDED_WMI_COMPTR

#include "wmi_com.h"

#include <utility>

namespace wmi {

// One owned reference of an interface (or of a class with AddRef/Release).
// 'T' may be incomplete where the holder is only declared or moved.
template <class T>
class ComPtr {
  public:
    // CREATORS
    ComPtr() = default;
    // Takes over the reference 'owned' (null for none) already counts.
    explicit ComPtr(T* owned) : d_p(owned) {}
    // A second reference to what 'other' holds.
    ComPtr(const ComPtr& other) : d_p(other.d_p) {
        if (d_p != nullptr) {
            d_p->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : d_p(other.d_p) { other.d_p = nullptr; }
    ~ComPtr() { reset(); }

    // MANIPULATORS
    ComPtr& operator=(const ComPtr& other) {
        ComPtr copy(other);
        swap(copy);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr taken(std::move(other));
        swap(taken);
        return *this;
    }
    // Releases the reference held, if any.
    void reset() {
        if (d_p != nullptr) {
            T* p = d_p;
            d_p = nullptr;
            p->Release();
        }
    }
    // Releases what is held and answers the slot for a call that hands out
    // a new reference ("T** ppOut" parameters).
    T** out() {
        reset();
        return &d_p;
    }
    // Gives up ownership: the caller now owns the reference.
    T* release() {
        T* p = d_p;
        d_p = nullptr;
        return p;
    }
    void swap(ComPtr& other) noexcept {
        T* p = d_p;
        d_p = other.d_p;
        other.d_p = p;
    }

    // ACCESSORS
    // The interface, still owned by this holder (null for none).
    T* get() const { return d_p; }
    T* operator->() const { return d_p; }
    explicit operator bool() const { return d_p != nullptr; }

  private:
    T* d_p = nullptr;
};

// A VARIANT, empty when made and cleared (VariantClear) when it goes away.
class Variant {
  public:
    // CREATORS
    Variant() { VariantInit(&d_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&d_value); }

    // MANIPULATORS
    // The value, for calls that fill or change it ("VARIANT* pVal").
    VARIANT* get() { return &d_value; }
    // Frees what the value holds and leaves it empty.
    void clear() { VariantClear(&d_value); }

    // ACCESSORS
    const VARIANT& value() const { return d_value; }
    VARTYPE type() const { return V_VT(&d_value); }

  private:
    VARIANT d_value;
};

}  // namespace wmi

#endif
