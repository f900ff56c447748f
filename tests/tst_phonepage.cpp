// The phone's page in a real browser: Debian's chromium, headless, driven through its
// DevTools protocol, against meridan-cli monitor --serve on meridan-headend-sim. The tiles
// follow the unit's lock changes, the page says at once when the unit falls silent and when
// the monitor stops, and it takes up the live states again by itself when the monitor runs
// again.
#include <signal.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QWebSocket>
#include <QtTest>

#include "sim/simprocess.h"

namespace {

// A DevTools protocol client: one browser connection, commands to one page's session.
class DevTools {
  public:
    bool open(const QUrl& url) {
        QObject::connect(&socket_, &QWebSocket::textMessageReceived, &socket_,
                         [this](const QString& text) {
                             const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
                             if (o.contains("id")) replies_[o["id"].toInt()] = o;
                         });
        socket_.open(url);
        return QTest::qWaitFor(
            [this] { return socket_.state() == QAbstractSocket::ConnectedState; }, 10000);
    }
    // The command's result; empty when it failed or no answer came within 15 s.
    QJsonObject call(const QString& method, const QJsonObject& params = {}) {
        const int id = ++lastId_;
        QJsonObject o{{"id", id}, {"method", method}, {"params", params}};
        if (!session.isEmpty()) o["sessionId"] = session;
        socket_.sendTextMessage(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
        if (!QTest::qWaitFor([&] { return replies_.contains(id); }, 15000)) return {};
        return replies_.take(id)["result"].toObject();
    }
    QString session;

  private:
    QWebSocket socket_;
    QHash<int, QJsonObject> replies_;
    int lastId_ = 0;
};

// What the page shows: its banner, whether it is greyed, and the input and output tiles as
// letters (L locked, U unlocked, ? unknown, - not read).
struct Shown {
    QString banner;
    bool stale = true;
    QString in, out;
    QString chosen;  // the big view of the converter the monitor follows: "Converter 3 LOCKED"
};

const char* const ReadPage = R"(JSON.stringify((() => {
  const letter = (e) => ({"1": "L", "0": "U", "": "-"})[e.dataset.value] || "?";
  const tiles = [...document.querySelectorAll(".tile")];
  return {banner: document.getElementById("banner").textContent,
          stale: document.body.classList.contains("stale"),
          in: tiles.map((t) => letter(t.querySelector(".in"))).join(""),
          out: tiles.map((t) => letter(t.querySelector(".out"))).join(""),
          chosen: document.getElementById("chosen").hidden ? "" :
              document.getElementById("chosenName").textContent + " " +
              document.getElementById("chosenIn").textContent};
})()))";

Shown shown(DevTools& browser) {
    const QJsonObject r =
        browser.call("Runtime.evaluate", {{"expression", ReadPage}, {"returnByValue", true}});
    const QJsonObject o =
        QJsonDocument::fromJson(r["result"]["value"].toString().toUtf8()).object();
    return {o["banner"].toString(), o["stale"].toBool(), o["in"].toString(), o["out"].toString(),
            o["chosen"].toString()};
}

// meridan-cli monitor --serve, a line per round: the URL it serves, and each round it read
// ("12:03:07.125  round 5  in LLLULLLLLLUU  out LLLULLLLLLUU", the page's letters).
struct Monitor {
    QProcess process;
    QString url, err;
    QStringList rounds;  // "LLLULLLLLLUU/LLLULLLLLLUU"

    bool start(const QString& tty, const QStringList& options, const QProcessEnvironment& env) {
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            static const QRegularExpression line(" in (\\S{12})  out (\\S{12})$");
            while (process.canReadLine()) {
                const auto m = line.match(QString::fromLatin1(process.readLine()).trimmed());
                if (m.hasMatch()) rounds.append(m.captured(1) + "/" + m.captured(2));
            }
        });
        process.start(QStringLiteral(MERIDAN_CLI), QStringList{"--port", tty, "monitor"} + options);
        const QRegularExpression pattern("http://\\S+token=[0-9a-f]{32}");
        const auto served = [&] {
            return !(url = pattern.match(err += process.readAllStandardError()).captured(0))
                        .isEmpty();
        };
        return QTest::qWaitFor(served, 10000);
    }
    bool stop() {
        process.terminate();
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }
};

}  // namespace

class TstPhonePage : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void pageFollowsTheMonitor();
};

void TstPhonePage::pageFollowsTheMonitor() {
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty()) QSKIP("chromium is not installed");
    meridan::sim::SimProcess sim(QStringLiteral(MERIDAN_SIM));
    const QString tty = sim.start({"--paced", "--lock-changes", "0.7"});
    QVERIFY(!tty.isEmpty());
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    auto monitor = std::make_unique<Monitor>();
    QVERIFY2(monitor->start(tty, {"--serve", "127.0.0.1:0"}, env), qPrintable(monitor->err));
    const QString url = monitor->url;

    // A browser of its own: a fresh profile, nothing from outside.
    QTemporaryDir profile;
    QProcess browserProcess;
    browserProcess.setStandardOutputFile(QProcess::nullDevice());
    browserProcess.setStandardErrorFile(QProcess::nullDevice());
    browserProcess.start(
        chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.path(), "--remote-debugging-port=0", "about:blank"});
    const auto ender = qScopeGuard([&] {
        browserProcess.kill();
        browserProcess.waitForFinished(5000);
    });
    QFile active(profile.filePath("DevToolsActivePort"));
    QVERIFY(QTest::qWaitFor([&] { return active.exists() && active.size() > 0; }, 30000));
    QVERIFY(active.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = active.readAll().split('\n');
    DevTools browser;
    QVERIFY(browser.open(QUrl("ws://127.0.0.1:" + lines.value(0) + lines.value(1))));
    const QString target =
        browser.call("Target.createTarget", {{"url", url}})["targetId"].toString();
    browser.session =
        browser
            .call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"]
            .toString();
    QVERIFY(!browser.session.isEmpty());
    // Whether the page comes to show what `condition` wants within `ms`; `s`, what it shows.
    Shown s;
    auto waitFor = [&](auto condition, int ms) {
        return QTest::qWaitFor([&] { return condition(s = shown(browser)); }, ms);
    };
    auto live = [](const Shown& x) { return x.banner == "Live" && !x.stale; };

    // Live: every pattern of tiles the page shows is one the monitor read lately (the locks
    // move every 0.7 s), and the page moves with them.
    QVERIFY(waitFor(live, 15000));
    QSet<QString> patterns;
    for (QElapsedTimer t; !t.isValid() || t.elapsed() < 6000; QTest::qWait(150)) {
        if (!t.isValid()) t.start();
        s = shown(browser);
        // Among the monitor's last 20 rounds (1.6 s).
        auto recent = [&] {
            const QStringList& r = monitor->rounds;
            return r.sliced(qMax(0, r.size() - 20)).contains(s.in + "/" + s.out);
        };
        // The monitor's own line of that round may come a moment after the page has it.
        if (!recent()) QTest::qWait(300);
        QVERIFY2(recent() && !s.stale, qPrintable(s.banner + " " + s.in + "/" + s.out));
        patterns.insert(s.in + "/" + s.out);
    }
    QVERIFY2(patterns.size() >= 5, qPrintable(QString::number(patterns.size())));

    // The unit stops answering: said at once after the monitor's 5 s, the tiles greyed; back
    // when it answers again.
    ::kill(pid_t(sim.process().processId()), SIGSTOP);
    const QRegularExpression silent("^No answer since \\d\\d:\\d\\d:\\d\\d$");
    QVERIFY2(waitFor([&](const Shown& x) { return x.stale && silent.match(x.banner).hasMatch(); },
                     12000),
             qPrintable(s.banner));
    ::kill(pid_t(sim.process().processId()), SIGCONT);
    QVERIFY(waitFor(live, 20000));

    // The monitor stops: said on the page; it runs again on the same address, following
    // converter 3 now, and the page, left as it was, takes up the live states again.
    QVERIFY(monitor->stop());
    QVERIFY2(waitFor(
                 [](const Shown& x) {
                     return x.stale && x.banner.startsWith("Monitor stopped at ") &&
                            x.banner.endsWith("waiting for it to run again...");
                 },
                 5000),
             qPrintable(s.banner));
    const QString port = QUrl(url).authority();
    monitor = std::make_unique<Monitor>();
    QVERIFY2(monitor->start(tty, {"--serve", port, "--converter", "3"}, env),
             qPrintable(monitor->err));
    QCOMPARE(monitor->url, url);
    QVERIFY(waitFor(live, 20000));
    QCOMPARE(s.in, QStringLiteral("--L---------"));
    QCOMPARE(s.chosen, QStringLiteral("Converter 3 LOCKED"));
    QVERIFY(monitor->stop());
    browser.call("Browser.close");
}

QTEST_GUILESS_MAIN(TstPhonePage)
#include "tst_phonepage.moc"
