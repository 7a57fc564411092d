/*
 * desk_test.cpp - faxdesk's routes on a fixture data directory: who may
 * see and act (login, session, CSRF, the administrator and the group),
 * what a URL can never reach, the JSON shapes, escaping, the sent list's
 * order and filters, and a received fax's pages. Driven through
 * Desk::Handle, without sockets.
 */
#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>
#include <sstream>

#include "desk.h"
#include "notes_fixture.h"
#include "test_support.h"
#include "vq_operator_json.h"

namespace {

using faxdesk::Request;
using faxdesk::Response;
using nlohmann::json;

/* A two-page bilevel TIFF, as a fax server leaves one. */
std::string TwoPageTiff(const std::string &path)
{
    TIFF *t = TIFFOpen(path.c_str(), "w");
    for (int page = 0; page < 2; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 64);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 32);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        unsigned char row[8] = {0xFF, 0, 0xFF, 0, 0, 0, 0, (unsigned char)page};
        for (int y = 0; y < 32; ++y)
            TIFFWriteScanline(t, row, (uint32_t)y, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return vqop::ReadFile(path);
}

class DeskTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        for (const char *kv : {"VortiqAdministrator=Fax Admin", "VortiqDeskGroup=Desk Admins", "VortiqMsgfile=vortiq.box"})
            OSSetEnvironmentVariable(std::string(kv).substr(0, std::string(kv).find('=')).c_str(),
                                     std::strchr(kv, '=') + 1);
        OSSetEnvironmentVariable("VortiqPath", (data_.path() + "/spool").c_str());
        vqtest::CreateNamesDb();
        vqtest::CreateMailFile("mail.box");
        vqtest::CreateMailFile("vortiq.box");
        vqtest::CreateActivityDb();
        for (const char *who : {"Fax Admin", "Jane Roe", "Bob Smith"}) {
            const std::string shortName = std::string(who) == "Fax Admin" ? "faxadmin" : std::string(who) == "Jane Roe" ? "jroe" : "bsmith";
            vqtest::AddPerson(who, shortName, "mail/" + shortName + ".nsf");
        }
        for (NOTEID id : vqtest::DocumentIds("names.nsf"))
            vqop::SetText("names.nsf", id, vqop::kPasswordItem, vqop::HashPassword("pw-" + vqtest::ItemText("names.nsf", id, "ShortName")));
        vqtest::AddGroup("Desk Admins", {"Bob Smith"});
        for (int i = 0; i < 60; ++i)
            vqtest::AddDocument("TMB_ACT.NSF", {{"Form", "Job Entry"}, {"JobID", std::to_string(1000 + i)}, {"Date", "12/07"},
                                                {"Type", "TX"}, {"To", i == 59 ? "555 <b>0199</b>" : "555 0100"},
                                                {"From", i % 2 ? "jroe" : "bsmith"}, {"Code", i % 10 ? "0000" : "0301"},
                                                {"Explanation", i % 10 ? " OK" : " Busy"}});
        vqtest::AddDocument("TMB_ACT.NSF", {{"Form", "Job Entry"}, {"JobID", "0007"}, {"Type", "TX"}, {"Explanation", "Pending"}});
        for (const char *to : {"Jane Roe", "Bob Smith"})
            rx_ = vqtest::AddDocument("TMB_ACT.NSF", {{"Form", "Job Entry"}, {"Type", "RX"}, {"To", to}, {"From", "+1 555 0142"},
                                                      {"Pages", "2"}, {"VortiqFaxId", "ST1-10-abc"}});
        rx_ -= 1; /* the fax is named by its first entry */
        tiff_ = TwoPageTiff(data_ / "rx.tif");
        vqop::Memo memo;
        memo.from = "Fax Admin";
        memo.sendTo = {"Jane Roe"};
        memo.subject = "Fax";
        memo.textItems = {{"VortiqFaxId", "ST1-10-abc"}};
        memo.attachments = {{"RX.FAX", tiff_}};
        vqop::SendMemo(memo);
        plain_ = vqtest::AddDocument("vortiq.box", {{"Form", "Memo"}, {"Subject", "waits"}});
        held_ = vqtest::AddDocument("vortiq.box", {{"Form", "Memo"}, {"Subject", "<script>x</script>"}, {"VortiqHeld", "too big"}});
        vqop::MakeDirs(data_ / "spool/TMBFAX/FAX/ERROR");
        vqop::MakeDirs(data_ / "spool/TMBFAX/FAX/IN");
        vqop::MakeDirs(data_ / "spool/TMBFAX/FAX/IPARCEL");
        vqop::WriteFile(data_ / "spool/TMBFAX/FAX/ERROR/ST000009.BAD", "To: x\nAttachment: RX000009\n\nBFailure reason: no recipient\n");
        vqop::WriteFile(data_ / "spool/TMBFAX/FAX/ERROR/ST000009", "image");
        desk_ = std::make_unique<faxdesk::Desk>(faxdesk::Config{data_.path(), false, 50});
    }
    void TearDown() override
    {
        desk_.reset();
        PlatformTest::TearDown();
    }
    Response Get(const std::string &path, const std::string &session, bool asJson = false)
    {
        Request r;
        r.path = path.substr(0, path.find('?'));
        std::istringstream query(path.find('?') == std::string::npos ? "" : path.substr(path.find('?') + 1));
        for (std::string kv; std::getline(query, kv, '&');)
            r.params.emplace(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
        r.cookies["faxdesk_session"] = session;
        if (asJson)
            r.accept = "application/json";
        return desk_->Handle(r);
    }
    /* A real login through the form; the session cookie, "" when refused. */
    std::string Login(const std::string &user, const std::string &password, Response *answer = nullptr)
    {
        Request form;
        form.path = "/login";
        const Response page = desk_->Handle(form);
        const std::string token = page.body.substr(page.body.find("value=\"") + 7, 32);
        Request post;
        post.method = "POST";
        post.path = "/login";
        post.cookies["faxdesk_login"] = token;
        post.params = {{"csrf", token}, {"user", user}, {"password", password}};
        const Response r = desk_->Handle(post);
        if (answer != nullptr)
            *answer = r;
        for (const auto &h : r.headers)
            if (h.first == "Set-Cookie" && h.second.rfind("faxdesk_session=", 0) == 0)
                return h.second.substr(16, h.second.find(';') - 16);
        return "";
    }
    std::string Csrf(const std::string &session)
    {
        const std::string body = Get("/held", session).body;
        const size_t at = body.find("name=\"csrf\" value=\"");
        return at == std::string::npos ? "" : body.substr(at + 19, 32);
    }
    Response Post(const std::string &path, const std::string &session, const std::string &csrf)
    {
        Request r;
        r.method = "POST";
        r.path = path;
        r.cookies["faxdesk_session"] = session;
        if (!csrf.empty())
            r.params.emplace("csrf", csrf);
        return desk_->Handle(r);
    }
    std::unique_ptr<faxdesk::Desk> desk_;
    NOTEID rx_ = 0, held_ = 0, plain_ = 0;
    std::string tiff_;
};

TEST_F(DeskTest, LoginAsksForTheFormsTokenAndARightPassword)
{
    struct Row {
        const char *user, *password;
        int status;
    } rows[] = {{"Fax Admin", "pw-faxadmin", 303}, {"jroe", "pw-jroe", 303}, {"Jane Roe", "pw-faxadmin", 401},
                {"Nobody", "pw-jroe", 401}, {"Jane Roe", "", 401}};
    for (const Row &row : rows) {
        Response r;
        const std::string session = Login(row.user, row.password, &r);
        EXPECT_EQ(r.status, row.status) << row.user;
        EXPECT_EQ(!session.empty(), row.status == 303) << row.user;
    }
    Response r;
    Login("Fax Admin", "pw-faxadmin", &r);
    EXPECT_NE(r.headers.back().second.find("; HttpOnly; SameSite=Strict"), std::string::npos);
    /* a form posted without the token it came with */
    Request post;
    post.method = "POST";
    post.path = "/login";
    post.params = {{"user", "Fax Admin"}, {"password", "pw-faxadmin"}, {"csrf", std::string(32, 'a')}};
    EXPECT_EQ(desk_->Handle(post).status, 403);
    post.cookies["faxdesk_login"] = std::string(32, 'a');
    EXPECT_EQ(desk_->Handle(post).status, 403) << "a token the desk never gave out";
    /* guessing: after five wrong passwords for a name, even the right one waits */
    for (int i = 0; i < 5; ++i)
        Login("jroe", "guess");
    EXPECT_EQ(Login("jroe", "pw-jroe", &r), "");
    EXPECT_EQ(r.status, 429);
    EXPECT_NE(Login("Bob Smith", "pw-bsmith"), "") << "another name is not held up";
}

TEST_F(DeskTest, WhoMaySeeAndWhoMayAct)
{
    const std::string admin = Login("Fax Admin", "pw-faxadmin"), jane = Login("jroe", "pw-jroe"),
                      bob = Login("Bob Smith", "pw-bsmith");
    const std::string held = "/held/" + std::to_string(held_);
    struct Row {
        const char *what;
        std::string method, path, session, csrf;
        int status;
    } rows[] = {
        {"no session: to the login", "GET", "/sent", "", "", 303},
        {"a made-up session", "GET", "/sent", std::string(64, 'f'), "", 303},
        {"anyone of the directory may look", "GET", "/sent", jane, "", 200},
        {"but not act", "POST", held + "/release", jane, Csrf(jane), 403},
        {"an action without the token", "POST", held + "/release", admin, "", 403},
        {"with another session's token", "POST", held + "/release", admin, Csrf(jane), 403},
        {"not held: nothing to release", "POST", "/held/" + std::to_string(plain_) + "/release", admin, Csrf(admin), 404},
        {"a member of the group may act", "POST", held + "/release", bob, Csrf(bob), 200},
        {"released: no longer held", "POST", held + "/delete", admin, Csrf(admin), 404},
        {"a failed fax goes back", "POST", "/failed/ST000009.BAD/retry", admin, Csrf(admin), 200},
    };
    for (const Row &row : rows) {
        Response r = row.method == "GET" ? Get(row.path, row.session) : Post(row.path, row.session, row.csrf);
        EXPECT_EQ(r.status, row.status) << row.what;
    }
    EXPECT_TRUE(vqop::FileExists(data_ / "spool/TMBFAX/FAX/IN/ST000009"));
    EXPECT_EQ(vqop::ReadFile(data_ / "spool/TMBFAX/FAX/IPARCEL/RX000009"), "image");
    EXPECT_EQ(vqop::ReadFile(data_ / "spool/TMBFAX/FAX/IN/ST000009").find("Failure"), std::string::npos);
    EXPECT_TRUE(vqop::ListDir(data_ / "spool/TMBFAX/FAX/ERROR").empty());
    EXPECT_NE(vqop::ReadFile(data_ / "server.log").find("Bob Smith released held message"), std::string::npos);
}

TEST_F(DeskTest, NoPathFromAUrlIntoTheFileSystem)
{
    const std::string admin = Login("Fax Admin", "pw-faxadmin");
    const std::string fax = "/received/" + std::to_string(rx_);
    vqop::WriteFile(data_ / "spool/TMBFAX/FAX/secret.BAD", "x");
    for (const std::string &path : std::vector<std::string>{fax + "/../../notes.ini", fax + "/page/0.png", fax + "/page/3.png", fax + "/page/1.png/..", "/received/0",
          "/received/99999/fax.tif", "/received/1e3", fax + "/thumb/-1.png", "/notes.ini", "/received/%2e%2e"})
        EXPECT_EQ(Get(path, admin).status, 404) << path;
    for (const std::string name : {"..%2Fsecret.BAD", "../secret.BAD", "ST000009", "..", "ST000009.BAD/.."})
        EXPECT_EQ(Post("/failed/" + name + "/delete", admin, Csrf(admin)).status, 404) << name;
    EXPECT_TRUE(vqop::FileExists(data_ / "spool/TMBFAX/FAX/secret.BAD"));
    EXPECT_EQ(Get(fax + "/fax.tif", admin).body, tiff_);
    for (const char *pic : {"/page/1.png", "/page/2.png", "/thumb/1.png"})
        EXPECT_EQ(Get(fax + pic, admin).body.substr(1, 3), "PNG") << pic;
}

TEST_F(DeskTest, EveryPageAnswersJsonInTheToolsShapes)
{
    const std::string s = Login("jroe", "pw-jroe");
    const auto isDoc = [](const json &d) {
        return d.contains("noteid") && d.contains("modified") && d["items"].is_object() && d["attachments"].is_array();
    };
    json sent = json::parse(Get("/sent", s, true).body);
    ASSERT_EQ(sent.size(), 50u) << "one page";
    EXPECT_TRUE(isDoc(sent[0]));
    EXPECT_EQ(sent[0]["items"]["JobID"], "1059") << "newest first";
    EXPECT_EQ(json::parse(Get("/sent?format=json&page=2", s).body).size(), 10u);
    json queue = json::parse(Get("/queue", s, true).body);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0]["items"]["JobID"], "0007");
    json received = json::parse(Get("/received", s, true).body);
    ASSERT_EQ(received.size(), 1u) << "one row per fax, not per recipient";
    EXPECT_EQ(received[0]["recipients"], json({"Jane Roe", "Bob Smith"}));
    json fax = json::parse(Get("/received/" + std::to_string(rx_), s, true).body);
    EXPECT_EQ(fax["pages"], 2);
    EXPECT_EQ(fax["mail"]["file"], "mail/jroe.nsf");
    json held = json::parse(Get("/held", s, true).body);
    EXPECT_TRUE(isDoc(held["held"][0]));
    EXPECT_EQ(held["failed"][0], json({{"name", "ST000009.BAD"}, {"failure", "Failure reason: no recipient"}}));
    EXPECT_TRUE(json::parse(Get("/log", s, true).body).is_array());
    json overview = json::parse(Get("/", s, true).body);
    EXPECT_EQ(overview["today"]["pending"], 1);
    EXPECT_EQ(overview["today"]["held"], 1);
    EXPECT_EQ(overview["today"]["error"], 1);
    EXPECT_EQ(overview["today"]["failed"], 6);
}

TEST_F(DeskTest, SentListFiltersAndEscapes)
{
    const std::string s = Login("jroe", "pw-jroe");
    struct Row {
        const char *query;
        size_t count;
    } rows[] = {{"", 50}, {"?sender=jroe", 30}, {"?result=failed", 6}, {"?result=ok&sender=bsmith", 24},
                {"?recipient=0199", 1}, {"?date=12/07", 50}, {"?date=11/30", 0}};
    for (const Row &row : rows) {
        Response r = Get(std::string("/sent") + row.query + (row.query[0] ? "&" : "?") + "format=json", s);
        EXPECT_EQ(json::parse(r.body).size(), row.count) << row.query;
    }
    const std::string page = Get("/sent?recipient=<b>", s).body + Get("/held", s).body;
    EXPECT_EQ(page.find("<b>0199"), std::string::npos);
    EXPECT_EQ(page.find("<script>x"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;x"), std::string::npos);
}

}  // namespace

namespace {

/* The lists of an index kept current across changes must be those of an
 * index read afresh: an entry that changed, came, went, or came while
 * another went. */
TEST_F(DeskTest, IndexKeptCurrentEqualsOneReadAfresh)
{
    faxdesk::ActivityIndex kept("TMB_ACT.NSF");
    ASSERT_TRUE(kept.Refresh());
    const auto ids = [](const std::vector<const faxdesk::Entry *> &v) {
        std::vector<NOTEID> out;
        for (const faxdesk::Entry *e : v)
            out.push_back(e->id);
        return out;
    };
    const auto del = [](NOTEID id) {
        DBHANDLE h = NULLHANDLE;
        NSFDbOpen("TMB_ACT.NSF", &h);
        NSFNoteDelete(h, id, UPDATE_NOSTUB);
        NSFDbClose(h);
    };
    const std::vector<NOTEID> all = vqtest::DocumentIds("TMB_ACT.NSF");
    const std::function<void()> steps[] = {
        [&] { vqop::SetText("TMB_ACT.NSF", all[5], "Explanation", "Pending"); }, /* sent -> waiting */
        [&] { vqop::SetText("TMB_ACT.NSF", all[5], "Explanation", " OK"); },     /* and back, newest now */
        [&] { vqop::SetText("TMB_ACT.NSF", rx_ + 1, "To", "Fax Admin"); },       /* a recipient renamed */
        [&] { del(all[7]); },
        [&] { del(all[8]); vqtest::AddDocument("TMB_ACT.NSF", {{"Form", "Job Entry"}, {"Type", "TX"}}); },
        [&] { vqtest::AddDocument("TMB_ACT.NSF", {{"Form", "Job Entry"}, {"Type", "RX"}, {"VortiqFaxId", "ST1-10-abc"}}); },
    };
    int step = 0;
    for (const auto &change : steps) {
        change();
        ASSERT_TRUE(kept.Refresh());
        faxdesk::ActivityIndex fresh("TMB_ACT.NSF");
        ASSERT_TRUE(fresh.Refresh());
        EXPECT_EQ(ids(kept.Sent()), ids(fresh.Sent())) << "step " << step;
        EXPECT_EQ(ids(kept.Pending()), ids(fresh.Pending())) << "step " << step;
        ASSERT_EQ(kept.ReceivedFaxes().size(), fresh.ReceivedFaxes().size()) << "step " << step;
        EXPECT_EQ(ids(kept.ReceivedFaxes()[0].entries), ids(fresh.ReceivedFaxes()[0].entries)) << "step " << step;
        EXPECT_EQ(kept.Size(), fresh.Size()) << "step " << step;
        ++step;
    }
}

}  // namespace
