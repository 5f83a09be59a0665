-- The server's main script: it declares the console commands and their
-- aliases. It runs at start-up and again on every reload, in the same Lua
-- state, so it first clears what an earlier run declared.
--
-- Any connected player can run any command declared here (security levels
-- are shown, not enforced). No command may therefore run Lua code given to
-- it, read or write files, or stop the server.

ServerCommander:ClearLuaCommands()
ServerCommander:ClearAllAliases()

-- Declares a command and the global function that runs it.
local function command(name, description, numParams, run)
    ServerCommander:AddServerCommand(
        ServerCommand(name, description, numParams, ServerCommand.SecurityLevel0))
    _G[name] = run
end

command("help", "Lists the server commands", 0, function(connector)
    ServerCommander:ListServerCommands(connector)
end)

command("reload", "Runs the main script again", 0, function(connector)
    ServerCommander:ReloadLuaScripts(connector)
end)

command("echo", "Prints its argument back", 1, function(connector, text)
    connector:Print(text)
end)

command("whoami", "Shows the sender's GUID", 0, function(connector)
    connector:Print("Your GUID is " .. connector:GetGUID())
end)

command("add", "Adds two numbers", 2, function(connector, a, b)
    local x, y = tonumber(a), tonumber(b)
    if x == nil or y == nil then
        connector:Print("Both arguments must be numbers")
    else
        connector:Print(tostring(x + y))
    end
end)

-- Shows a player's message on the server's console. Control characters are
-- replaced, so that a message can neither start lines of its own nor pass
-- for the server's own output.
command("announce", "Shows a message on the server's console", 1, function(connector, text)
    ServerCommander:WriteConsoleMessageLine("Announcement: " .. (text:gsub("%c", "?")))
    connector:Print("Announced")
end)

command("servertime", "Shows the server's clock", 0, function(connector)
    connector:Print(os.date("!%Y-%m-%d %H:%M:%S UTC"))
end)

-- The connected players, one GUID number each. A player may leave during the
-- walk; its handle then raises an error, which is caught.
command("players", "Lists the connected players", 0, function(connector)
    local numbers = {}
    for player in EntityManager.Players do
        local ok, number = pcall(player.GetGuidAsInteger, player)
        if ok then numbers[#numbers + 1] = tostring(number) end
    end
    local text = #numbers .. " player(s)"
    if #numbers > 0 then text = text .. ": " .. table.concat(numbers, ", ") end
    connector:Print(text)
end)

-- Physics boxes are never removed, and any player can run any command, so
-- one run of the server drops at most kMaxBoxes of them (the count survives
-- reloads: it lives in a global).
local kMaxBoxes = 64
boxesDropped = boxesDropped or 0

command("box", "Drops a physics box above the first player", 0, function(connector)
    if boxesDropped >= kMaxBoxes then
        connector:Print("No box dropped: " .. kMaxBoxes .. " have been dropped, the most there may be")
    elseif not ServerInstance:SpawnPhysicsEntity() then
        connector:Print("No box dropped: there is no player to drop it above")
    else
        boxesDropped = boxesDropped + 1
        connector:Print("Box " .. boxesDropped .. " of " .. kMaxBoxes .. " dropped")
    end
end)

-- The design methods return the text of what they did (how many of the
-- design's bricks landed or were taken out, or why nothing was), which is
-- the answer.
command("testdesign", "Places the test design at its cell", 0, function(connector)
    connector:Print(ServerInstance:ImportTestLXFML())
end)

command("import", "Places a Base64 LXFML design beside your player (players only)", 1,
    function(connector, text)
        connector:Print(ServerInstance:ImportBase64LXFML(connector, text))
    end)

command("undo", "Takes your last imported design out again (players only)", 0, function(connector)
    connector:Print(ServerInstance:UndoImportLXFML(connector))
end)

-- A held item: a gust of wind that pushes its player for a few seconds and
-- then stops. A player's link to its item is weak, so the script keeps every
-- gust that blows in activeGusts (one per player, by GUID number) and lets
-- it go when it has blown out.
if Gust == nil then
    class "Gust" (Item)
end

local kGustPush = Vector3(0.02, 0, 0.01)  -- added to every move of the player
local kGustSeconds = 3

function Gust:__init(key)
    Item.__init(self)
    self.key = key
    self.left = kGustSeconds
end

function Gust:Update(dt, player)
    if self.left == nil then return end
    self.left = self.left - dt
    if self.left > 0 then
        player:PushPlayer(kGustPush)
    else
        player:PushPlayer(Vector3())
        self.left = nil
        if activeGusts[self.key] == self then activeGusts[self.key] = nil end
    end
end

activeGusts = activeGusts or {}

command("gust", "A gust of wind pushes every player for a few seconds", 0, function(connector)
    -- A fresh set: the gusts of players who have left go with the old one.
    local blowing = {}
    for player in EntityManager.Players do
        local ok, key = pcall(player.GetGuidAsInteger, player)
        if ok then
            local gust = Gust(key)
            if pcall(player.SetItem, player, gust) then blowing[key] = gust end
        end
    end
    activeGusts = blowing
    local count = 0
    for _ in pairs(blowing) do count = count + 1 end
    connector:Print("A gust blows over " .. count .. " player(s)")
end)

ServerCommander:AddAlias("help", "commands")
ServerCommander:AddAlias("help", "?")
ServerCommander:AddAlias("echo", "say")
ServerCommander:AddAlias("reload", "rl")
