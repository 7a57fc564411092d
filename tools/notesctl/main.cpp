/*
 * main.cpp - notesctl, the operator console of the Notes stand-in: parses
 * the command line, finds the data directory (-d DIR, else NOTES_DATA,
 * else the current directory), starts the runtime on its notes.ini and
 * runs one command. User errors are one line on standard error and exit
 * status 1.
 */
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "notesctl.h"

namespace fs = std::filesystem;

namespace notesctl {
namespace {

std::string g_dataDir;

/* Starts the runtime on DIR/notes.ini; init may create DIR first. */
void Start(const std::string &dir, bool create)
{
    std::error_code ec;
    if (create)
        fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec))
        throw UserError("data directory " + dir + " does not exist");
    std::string abs = fs::absolute(dir, ec).lexically_normal().string();
    while (abs.size() > 1 && abs.back() == '/')
        abs.pop_back();
    SetDataDir(abs);
    /* Only init makes a notes.ini: elsewhere a missing one is a mistyped
     * folder, and an empty one would make a server of it. */
    if (!fs::exists(abs + "/notes.ini", ec)) {
        if (!create)
            throw UserError("no notes.ini in " + abs + " (create the data directory with: notesctl -d " +
                            dir + " init)");
        std::ofstream(abs + "/notes.ini", std::ios::app);
    }
    std::string ini = "=" + abs + "/notes.ini";
    std::string prog = "notesctl";
    char *argv[] = {&prog[0], &ini[0], nullptr};
    Check(NotesInitExtended(2, argv), "cannot start on " + abs);
    if (create)
        VqAdoptDataOwner((abs + "/notes.ini").c_str());
}

}  // namespace

void Check(STATUS s, const std::string &what)
{
    if (s != NOERROR)
        throw UserError(what + ": " + StatusText(s));
}

std::string StatusText(STATUS s)
{
    char buf[MAXSPRINTF + 1] = "";
    AddInFormatError(buf, s);
    return buf[0] ? std::string(buf) : "status " + std::to_string(s);
}

const std::string &DataDir()
{
    return g_dataDir;
}

void SetDataDir(const std::string &dir)
{
    g_dataDir = dir;
}

}  // namespace notesctl

int main(int argc, char **argv)
{
    using namespace notesctl;
    CLI::App app{"notesctl - operator console of the Notes server stand-in"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string dataDir;
    app.add_option("-d,--data", dataDir, "data directory (default: $NOTES_DATA, else the current directory)");

    std::string domain, org;
    auto *init = app.add_subcommand("init", "create notes.ini, names.nsf, mail.box and TMB_ACT.NSF where missing");
    auto *optDomain = init->add_option("--domain", domain, "the server's domain (default Acme)");
    auto *optOrg = init->add_option("--org", org, "organization of new people (default Acme)");

    std::string assignment, key;
    auto *setConfig = app.add_subcommand("set-config", "set a notes.ini variable");
    setConfig->add_option("KEY=VALUE", assignment)->required();
    bool asJson = false;
    auto *unsetConfig = app.add_subcommand("unset-config", "remove a notes.ini variable");
    unsetConfig->add_option("KEY", key)->required();
    auto *showConfig = app.add_subcommand("show-config", "show notes.ini, or one variable");
    showConfig->add_option("KEY", key);
    showConfig->add_flag("--json", asJson);

    std::string name, shortName, fax, mailFile, members, description;
    auto *person = app.add_subcommand("person", "people of the directory");
    person->require_subcommand(1);
    auto *personAdd = person->add_subcommand("add", "add a person (and create the mail file)");
    personAdd->add_option("NAME", name, "the person's name, e.g. \"Jane Roe\"")->required();
    personAdd->add_option("--short", shortName, "short name (default from the name)");
    personAdd->add_option("--fax", fax, "office fax number, as written");
    personAdd->add_option("--mailfile", mailFile, "mail file (default mail/SHORT.nsf)");
    /* list and remove, alike for people, groups and domains */
    struct Entries {
        const char *type;
        CLI::App *list, *remove;
    };
    std::vector<Entries> entries;
    auto addEntries = [&](CLI::App *parent, const char *type) {
        Entries e{type, parent->add_subcommand("list", "list them"),
                  parent->add_subcommand("remove", "remove one (a person's mail file is kept)")};
        e.list->add_flag("--json", asJson);
        e.remove->add_option("NAME", name)->required();
        entries.push_back(e);
    };
    addEntries(person, "Person");
    auto *personPasswd = person->add_subcommand(
        "passwd", "set a person's web password (fax desk), read from standard input");
    personPasswd->add_option("NAME", name)->required();

    auto *group = app.add_subcommand("group", "groups of the directory");
    group->require_subcommand(1);
    auto *groupAdd = group->add_subcommand("add", "add a group");
    groupAdd->add_option("NAME", name)->required();
    groupAdd->add_option("--members", members, "members separated by commas")->required();
    groupAdd->add_option("--description", description);
    addEntries(group, "Group");

    auto *domainCmd = app.add_subcommand("domain", "foreign domains");
    domainCmd->require_subcommand(1);
    auto *domainAdd = domainCmd->add_subcommand("add", "add a foreign domain and its mail file");
    domainAdd->add_option("NAME", name)->required();
    domainAdd->add_option("--mailfile", mailFile, "mail file that receives the domain's mail")->required();
    addEntries(domainCmd, "Domain");

    SendOptions so;
    auto *send = app.add_subcommand("send", "compose a memo as a user and route it");
    send->add_option("--from", so.from, "the sending user")->required();
    send->add_option("--to", so.to, "recipient (repeatable)")->required();
    send->add_option("--cc", so.cc, "copy recipient (repeatable)");
    send->add_option("--subject", so.subject);
    auto *optBody = send->add_option("--body", so.body, "body text");
    auto *optBodyFile = send->add_option("--body-file", so.bodyFile, "body from a text file");
    optBody->excludes(optBodyFile);
    send->add_option("--attach", so.attach, "file to attach (repeatable)");
    send->add_option("--text", so.text, "extra text item ITEM=VALUE (repeatable)");
    send->add_option("--time", so.time, "extra time item ITEM=+SECONDS from now (repeatable)");

    std::string db, noteId, attachment, dest, form;
    bool force = false;
    auto *mail = app.add_subcommand("mail", "read mail files");
    mail->require_subcommand(1);
    auto *mailList = mail->add_subcommand("list", "every message of a mail file");
    mailList->add_option("MAILFILE", db)->required();
    mailList->add_flag("--json", asJson);
    auto *mailShow = mail->add_subcommand("show", "one message: items, body, attachments");
    mailShow->add_option("MAILFILE", db)->required();
    mailShow->add_option("NOTEID", noteId)->required();
    mailShow->add_flag("--json", asJson);
    auto *mailExtract = mail->add_subcommand("extract", "write an attachment to a file");
    mailExtract->add_option("MAILFILE", db)->required();
    mailExtract->add_option("NOTEID", noteId)->required();
    mailExtract->add_option("ATTACHMENT", attachment)->required();
    mailExtract->add_option("DEST", dest, "file or folder to write it to (optional with --png)");
    mailExtract->add_flag("--force", force, "overwrite DEST when it exists");
    std::string pngDir;
    mailExtract->add_option("--png", pngDir, "write each page of a fax image as DIR/page-N.png")
        ->type_name("DIR");

    auto *dbCmd = app.add_subcommand("db", "read databases");
    dbCmd->require_subcommand(1);
    auto *dbList = dbCmd->add_subcommand("list", "every document with its items");
    dbList->add_option("DATABASE", db)->required();
    dbList->add_option("--form", form, "only documents of this form");
    dbList->add_flag("--json", asJson);

    std::string task;
    int lines = 20;
    bool follow = false;
    auto *tasks = app.add_subcommand("tasks", "status line of each running add-in task");
    tasks->add_flag("--json", asJson);
    auto *quit = app.add_subcommand("quit", "ask a running add-in task to stop");
    quit->add_option("TASK", task)->required();
    auto *log = app.add_subcommand("log", "the end of the server log");
    log->add_option("-n", lines, "number of lines (default 20)");
    log->add_flag("-f,--follow", follow, "then print new lines as they come (Ctrl+C ends)");
    log->add_flag("--json", asJson);

    auto *held = app.add_subcommand("held", "messages the gateway holds (notes.ini VortiqMsgfile)");
    held->require_subcommand(1);
    auto *heldList = held->add_subcommand("list", "every held message with its reason");
    heldList->add_flag("--json", asJson);
    auto *heldRelease = held->add_subcommand("release", "unmark one: the next pass tries it again");
    heldRelease->add_option("NOTEID", noteId)->required();
    auto *heldDelete = held->add_subcommand("delete", "delete one held message");
    heldDelete->add_option("NOTEID", noteId)->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::string what = e.what();
        if (app.get_subcommands().empty()) {
            /* the first word that is not an option names no command */
            for (int i = 1; i < argc; ++i) {
                std::string a = argv[i];
                if (a == "-d" || a == "--data") {
                    ++i;
                    continue;
                }
                if (!a.empty() && a[0] != '-') {
                    what = "unknown command: " + a;
                    break;
                }
            }
        }
        for (char &c : what)
            if (c == '\n')
                c = ' ';
        std::cerr << "notesctl: " << what << " (see notesctl --help)\n";
        return 1;
    }

    try {
        if (dataDir.empty()) {
            const char *env = std::getenv("NOTES_DATA");
            dataDir = (env && *env) ? env : ".";
        }
        Start(dataDir, init->parsed());
        if (init->parsed())
            CmdInit(domain, optDomain->count() > 0, org, optOrg->count() > 0);
        else if (setConfig->parsed())
            CmdSetConfig(assignment);
        else if (unsetConfig->parsed())
            CmdUnsetConfig(key);
        else if (showConfig->parsed())
            CmdShowConfig(key, asJson);
        else if (personAdd->parsed())
            CmdPersonAdd(name, shortName, fax, mailFile);
        else if (personPasswd->parsed())
            CmdPersonPasswd(name);
        else if (groupAdd->parsed())
            CmdGroupAdd(name, members, description);
        else if (domainAdd->parsed())
            CmdDomainAdd(name, mailFile);
        else if (send->parsed()) {
            so.bodyGiven = optBody->count() > 0;
            CmdSend(so);
        } else if (mailList->parsed())
            CmdMailList(db, asJson);
        else if (mailShow->parsed())
            CmdMailShow(db, noteId, asJson);
        else if (mailExtract->parsed())
            CmdMailExtract(db, noteId, attachment, dest, force, pngDir);
        else if (dbList->parsed())
            CmdDbList(db, form, asJson);
        else if (tasks->parsed())
            CmdTasks(asJson);
        else if (quit->parsed())
            CmdQuit(task);
        else if (log->parsed())
            CmdLog(lines, follow, asJson);
        else if (heldList->parsed())
            CmdHeldList(asJson);
        else if (heldRelease->parsed())
            CmdHeldRelease(noteId);
        else if (heldDelete->parsed())
            CmdHeldDelete(noteId);
        else
            for (const Entries &e : entries) {
                if (e.list->parsed())
                    CmdDirectoryList(e.type, asJson);
                else if (e.remove->parsed())
                    CmdDirectoryRemove(e.type, name);
            }
    } catch (const UserError &e) {
        std::cerr << "notesctl: " << e.what() << "\n";
        NotesTerm();
        return 1;
    } catch (const vqop::Error &e) {
        /* a step of the operator library: "<step>: <status text>" */
        std::cerr << "notesctl: " << e.step() << ": " << StatusText(e.status()) << "\n";
        NotesTerm();
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "notesctl: " << e.what() << "\n";
        NotesTerm();
        return 1;
    }
    NotesTerm();
    return 0;
}
