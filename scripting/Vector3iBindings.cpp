// The script class "Vector3i".
#include <string>

#include "entities/ScriptError.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

namespace {

void Push(lua_State* L, const Vector3i& v) { luabind::detail::convert_to_lua(L, v); }

void RefuseText(const Vector3i&) { throw ScriptError("class Vector3i: no __tostring operator defined."); }

// Set with three ints, rounded as every int parameter is.
void SetComponents(Vector3i& v, ScriptInt x, ScriptInt y, ScriptInt z) { v.Set(x, y, z); }

Vector3i Quotient(const Vector3i& a, const Vector3i& b) {
    Vector3i q;
    if (!a.TryDivide(b, q)) {
        const bool byZero = b.x == 0 || b.y == 0 || b.z == 0;
        throw ScriptError(byZero ? "Vector3i division by zero."
                                 : "Vector3i division overflows: -2147483648 / -1 has no 32-bit result.");
    }
    return q;
}

}  // namespace

void Vector3iAddVector3i(lua_State* L, const Vector3i& a, Vector3i b) { Push(L, a + b); }
void Vector3iAddInt(lua_State* L, const Vector3i& a, ScriptInt n) { Push(L, a + n.value); }
void Vector3iSubVector3i(lua_State* L, const Vector3i& a, Vector3i b) { Push(L, a - b); }
void Vector3iSubInt(lua_State* L, const Vector3i& a, ScriptInt n) { Push(L, a - n.value); }
void Vector3iMulVector3i(lua_State* L, const Vector3i& a, Vector3i b) { Push(L, a * b); }
void Vector3iMulInt(lua_State* L, const Vector3i& a, ScriptInt n) { Push(L, a * n.value); }
void Vector3iDivVector3i(lua_State* L, const Vector3i& a, Vector3i b) { Push(L, Quotient(a, b)); }
void Vector3iDivInt(lua_State* L, const Vector3i& a, ScriptInt n) {
    Push(L, Quotient(a, Vector3i(n.value, n.value, n.value)));
}
void Vector3iEqual(lua_State* L, const Vector3i& a, Vector3i b) { lua_pushboolean(L, a == b); }

luabind::scope RegisterVector3i() {
    using namespace luabind;
    using V = Vector3i;
    return class_<V>("Vector3i")
        .def(constructor<ScriptInt, ScriptInt, ScriptInt>())
        .def(constructor<>())
        .def(constructor<const V&>())
        .def("Set", static_cast<void (V::*)(const V&)>(&V::Set))
        .def("Set", &SetComponents)
        .def("ToString", &V::ToString)
        .def("__add", &Vector3iAddVector3i)
        .def("__add", &Vector3iAddInt)
        .def("__sub", &Vector3iSubVector3i)
        .def("__sub", &Vector3iSubInt)
        .def("__mul", &Vector3iMulVector3i)
        .def("__mul", &Vector3iMulInt)
        .def("__div", &Vector3iDivVector3i)
        .def("__div", &Vector3iDivInt)
        .def("__eq", &Vector3iEqual)
        .def("__tostring", &RefuseText);
}

}  // namespace Tav::ScriptBindings
