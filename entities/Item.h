#pragma once
// Items that players hold, with their behaviour written in script: a script
// class derives from the script class "Item", a script gives an object of it
// to a player ("SetItem"), and the chunk worker calls the object's "Update"
// once per step for every player that holds one.
//
// An ItemWrapper is the program's side of one script object of "Item" (or of
// a class derived from it). It links to that object weakly, through luabind's
// weak reference: the link does not keep the object alive, so a script keeps
// its own reference for as long as a player holds the item; once the object
// has been collected, calls through the link find nothing and are skipped.
// Copies link to the same object, again weakly.
//
// Locking: copying, calling and releasing a linked wrapper all touch the Lua
// state (the link's reference count is not atomic, and its last release
// removes an entry of the state), so they run with the Lua lock held. Code
// that lets go of a wrapper where it does not hold that lock hands it to
// DeferItemRelease instead of destroying it.
#include <memory>

#include "entities/LuaBind.h"

namespace Tav {

class Player;
class PlayerHandle;

class Item {
public:
    virtual ~Item() = default;
    // Writes "Base update, should not run!" and a line end to standard output.
    virtual void Update(double dt, const Player* player);
    // Writes "Test Native!" and a line end to standard output.
    virtual void TestNative();
};

class ItemWrapper : public Item, public luabind::wrap_base {
public:
    // The script object's "Update" with (dt, player), the player as a script
    // sees it (a "Player" handle; nil for null). Nothing happens once the
    // object has been collected. A failing script raises ScriptError.
    void Update(double dt, const Player* player) override;
    // The script object's "TestNative"; a failing script raises ScriptError.
    void TestNative() override;

    // The script object's "Update" with dt and the player's handle (nil when
    // null), for callers that no longer hold the player itself. False, and
    // nothing called, when the object has been collected. A failing script
    // raises ScriptError with the script's message; a script class without
    // any "Update" raises "Attempt to call nonexistent function".
    bool CallUpdate(double dt, const PlayerHandle* player) const;

    // What a script object's "Update" and "TestNative" run when its class
    // defines no function of that name: the lines of Item.
    static void default_Update(Item* self, double dt, const Player* player);
    static void default_TestNative(Item* self);

private:
    // Calls the method name of the script object: with self only, or with
    // self, dt and the player when withArguments is set.
    bool CallScript(const char* name, bool withArguments, double dt, const PlayerHandle* player) const;
};

// Takes over a wrapper that its owner lets go of where the Lua lock is not
// held (a player deleted on the network thread). It is released by the next
// ReleaseDeferredItems for its state. Any thread; never waits for the Lua lock.
void DeferItemRelease(std::unique_ptr<ItemWrapper> item);
// Releases every deferred wrapper that belongs to state. Lua lock held.
void ReleaseDeferredItems(lua_State* state);

}  // namespace Tav
