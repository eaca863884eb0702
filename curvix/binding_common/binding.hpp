#pragma once
// Shared by every *_py.cpp: the conventions by which curvix classes cross
// into Python. It includes nothing of the bindings that use it, so no
// include runs from a registration back up to a module entry.
//
// pybind11 hands a null object to a bound member when Python calls it on an
// instance made with Cls.__new__(Cls) and never initialised. Every bound
// member therefore takes its instances (self included) as Ref<T> / Mut<T>,
// whose caster refuses such an instance with TypeError
// "<module>.<Class> object is not initialised". The generated signatures are
// unchanged: the caster reports the wrapped class's own name.

#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace curvix::binding {

template <class T>
struct Ref {
    const T* ptr = nullptr;
    const T& operator*() const { return *ptr; }
    const T* operator->() const { return ptr; }
};

template <class T>
struct Mut {
    T* ptr = nullptr;
    T& operator*() const { return *ptr; }
    T* operator->() const { return ptr; }
};

[[noreturn]] inline void throw_uninitialised(py::handle src) {
    throw py::type_error(std::string(Py_TYPE(src.ptr())->tp_name) + " object is not initialised");
}

}  // namespace curvix::binding

namespace pybind11::detail {

template <class T, template <class> class W, class P>
struct checked_instance_caster {
    static constexpr auto name = type_caster_base<T>::name;

    bool load(handle src, bool convert) {
        // None is not an instance: a class parameter accepts only the class.
        if (src.is_none()) return false;
        // An instance whose constructor never ran holds no value; loading it
        // would lazily allocate uninitialised storage and hand that over.
        // (Instances that refer into an owner hold a value but no holder.)
        const type_info* tinfo = get_type_info(typeid(T));
        if (tinfo != nullptr && PyObject_TypeCheck(src.ptr(), tinfo->type)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            auto vh = inst->get_value_and_holder(tinfo, false);
            if (!vh || vh.value_ptr() == nullptr) curvix::binding::throw_uninitialised(src);
        }
        type_caster_base<T> base;
        if (!base.load(src, convert)) return false;
        P p = static_cast<T*>(base);
        if (p == nullptr) curvix::binding::throw_uninitialised(src);
        value.ptr = p;
        return true;
    }

    template <class U>
    using cast_op_type = W<T>;
    operator W<T>() { return value; }

    W<T> value{};
};

template <class T>
struct type_caster<curvix::binding::Ref<T>>
    : checked_instance_caster<T, curvix::binding::Ref, const T*> {};

template <class T>
struct type_caster<curvix::binding::Mut<T>> : checked_instance_caster<T, curvix::binding::Mut, T*> {};

}  // namespace pybind11::detail
