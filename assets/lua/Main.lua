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

ServerCommander:AddAlias("help", "commands")
ServerCommander:AddAlias("help", "?")
ServerCommander:AddAlias("echo", "say")
ServerCommander:AddAlias("reload", "rl")
