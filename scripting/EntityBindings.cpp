// The script class "EntityManagerClass".
#include "entities/EntityManager.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

luabind::scope RegisterEntityManager() {
    using namespace luabind;
    return class_<EntityManager>("EntityManagerClass");
}

}  // namespace Tav::ScriptBindings
