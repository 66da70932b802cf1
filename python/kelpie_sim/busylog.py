"""A busy device's own logging: plausible lines of several tags, levels, domains and
languages, logged in the background at a steady rate.

Lines are made in batches, as many as are due since the start, a few times a second:
the cost is per line, not per wake-up, and a follower wakes once a batch."""

import asyncio
import random
import time

BATCH_SECONDS = 0.05

BUNDLES = ("com.example.weather", "com.example.mail", "com.ohos.settings", "com.ohos.camera")
NAMES = ("张伟", "李娜", "Jürgen", "Ольга", "Zoë", "王芳")


def _pick(rand, items):
    return items[rand.randrange(len(items))]


# (weight, level, domain, tag, message format, its values)
TEMPLATES = (
    (12, "I", "C01300", "AbilityManagerService", "foreground: %s/EntryAbility",
     lambda r: (_pick(r, BUNDLES),)),
    (10, "I", "C01400", "WindowManager", "vsync %d: frame took %.1f ms",
     lambda r: (r.randrange(1 << 20), r.uniform(2, 20))),
    (8, "I", "C01B00", "InputKeyFlow", "key event: code=%d action=up duration=%dms",
     lambda r: (r.randrange(2000), r.randrange(400))),
    (8, "I", "A00F00", "Weather", "温度 %.1f℃，湿度 %d%%，东南风 %d 级",
     lambda r: (r.uniform(-5, 35), r.randrange(100), r.randrange(8))),
    (6, "I", "A00F00", "Weather", "Прогноз на завтра: ясно, %+d °C",
     lambda r: (r.randrange(-20, 35),)),
    (6, "I", "A00F01", "Notify", "🔔 新消息：来自 %s — 今晚 %d 点见 🍜",
     lambda r: (_pick(r, NAMES), r.randrange(6, 11))),
    (6, "I", "A03200", "testTag", "this is a info level hilog, seq %d",
     lambda r: (r.randrange(1 << 24),)),
    (5, "I", "C01700", "Locale", "langue système : français (Suisse) — clavier « QWERTZ » n°%d",
     lambda r: (r.randrange(100),)),
    (5, "W", "C02D06", "PowerMgr", "thermal level warm: %.1f °C, limiting CPU big cores",
     lambda r: (r.uniform(38, 48),)),
    (4, "W", "C01510", "SAMGR", "ability %d slow to start: %d ms",
     lambda r: (r.randrange(1000, 9000), r.randrange(500, 3000))),
    (4, "E", "C03F00", "NetManager", "DNS lookup for ota.example.com failed: no network (%d)",
     lambda r: (r.randrange(100),)),
    (3, "E", "A00F02", "MailSync", "Zustellung fehlgeschlagen für %s: Zeitüberschreitung nach %d s",
     lambda r: (_pick(r, NAMES), r.randrange(5, 60))),
    (2, "I", "P00B00", "DfxTrace", "prerelease trace point %d hit",
     lambda r: (r.randrange(1 << 16),)),
    (2, "I", "K00000", "kmsg", "[%8.3f] binder: %d:%d transaction failed",
     lambda r: (r.uniform(0, 99999), r.randrange(9000), r.randrange(9000))),
    (1, "F", "A00F02", "MailSync", "fatal: mailbox index corrupt at block %d",
     lambda r: (r.randrange(1 << 16),)),
)
WEIGHTS = [t[0] for t in TEMPLATES]


def batch(rand, count):
    """`count` lines (level, domain, tag, message)."""
    return [(level, domain, tag, text % values(rand))
            for _w, level, domain, tag, text, values in rand.choices(TEMPLATES, weights=WEIGHTS, k=count)]


async def chatter(log, rate, seed):
    """Logs `rate` lines a second into `log` until cancelled: each wake-up logs the lines due by
    then, spread evenly over the time they were due in."""
    rand = random.Random("chatter " + seed)
    start = time.time()
    made = 0
    while True:
        await asyncio.sleep(BATCH_SECONDS)
        now = time.time()
        due = int((now - start) * rate) - made
        if due > 0:
            log.add_many(batch(rand, due), start + made / rate, 1.0 / rate)
            made += due
