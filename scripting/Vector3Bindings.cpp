// The script class "Vector3".
#include "entities/ScriptError.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

namespace {

void Push(lua_State* L, const Vector3& v) { luabind::detail::convert_to_lua(L, v); }

// luabind gives objects of every class a text for the script's tostring;
// vectors have none (scripts use ToString), so the conversion fails the way
// every other missing operator of the class does.
void RefuseText(const Vector3&) { throw ScriptError("class Vector3: no __tostring operator defined."); }

}  // namespace

void Vector3AddVector3(lua_State* L, const Vector3& a, Vector3 b) { Push(L, a + b); }
void Vector3AddNumber(lua_State* L, const Vector3& a, double s) { Push(L, a + s); }
void Vector3SubVector3(lua_State* L, const Vector3& a, Vector3 b) { Push(L, a - b); }
void Vector3SubNumber(lua_State* L, const Vector3& a, double s) { Push(L, a - s); }
void Vector3MulVector3(lua_State* L, const Vector3& a, Vector3 b) { Push(L, a * b); }
void Vector3MulNumber(lua_State* L, const Vector3& a, double s) { Push(L, a * s); }
void Vector3DivVector3(lua_State* L, const Vector3& a, Vector3 b) { Push(L, a / b); }
void Vector3DivNumber(lua_State* L, const Vector3& a, double s) { Push(L, a / s); }
void Vector3Equal(lua_State* L, const Vector3& a, Vector3 b) { lua_pushboolean(L, a == b); }

luabind::scope RegisterVector3() {
    using namespace luabind;
    using V = Vector3;
    return class_<V>("Vector3")
        .def(constructor<double, double, double>())
        .def(constructor<>())
        .def(constructor<const V&>())
        .def("Set", &V::Set)
        .def("InterpolateTo", &V::InterpolateTo)
        .def("VectorTo", &V::VectorTo)
        .def("Normalize", &V::Normalize)
        .def("NormalizeInPlace", &V::NormalizeInPlace)
        .def("Dot", static_cast<double (V::*)(const V&) const>(&V::Dot))
        .def("Dot", static_cast<double (V::*)(double, double, double) const>(&V::Dot))
        .def("Cross", &V::Cross)
        .def("Add", &V::Add)
        .def("InnerProduct", static_cast<double (V::*)(const V&) const>(&V::Dot))
        .def("DistanceTo", &V::DistanceTo)
        .def("NormalOfPlaneAgainst", &V::NormalOfPlaneAgainst)
        .def("DistanceToPow2", static_cast<double (V::*)(double, double, double) const>(&V::DistanceToPow2))
        .def("DistanceToPow2", static_cast<double (V::*)(const V&) const>(&V::DistanceToPow2))
        .def("HorizontalDistance", &V::HorizontalDistance)
        .def("Scale", &V::Scale)
        .def("Length", &V::Length)
        .def("LengthPow2", &V::LengthPow2)
        .def("GetLongestDirection", &V::GetLongestDirection)
        .def("ClipX", &V::ClipX)
        .def("ClipY", &V::ClipY)
        .def("ClipZ", &V::ClipZ)
        .def("Lerp", &V::InterpolateTo)
        .def("XRot", &V::XRot)
        .def("YRot", &V::YRot)
        .def("ZRot", &V::ZRot)
        .def("ToString", &V::ToString)
        .def("__add", &Vector3AddVector3)
        .def("__add", &Vector3AddNumber)
        .def("__sub", &Vector3SubVector3)
        .def("__sub", &Vector3SubNumber)
        .def("__mul", &Vector3MulVector3)
        .def("__mul", &Vector3MulNumber)
        .def("__div", &Vector3DivVector3)
        .def("__div", &Vector3DivNumber)
        .def("__eq", &Vector3Equal)
        .def("__tostring", &RefuseText);
}

}  // namespace Tav::ScriptBindings
