// Drives the web build in Debian's headless Chromium and records, for demo_test.cpp to judge: looks at the canvas
// (OUT/look-N.png), the page's sound (OUT/sound.wav to the end, after.wav the half second after), what it
// printed (stdout.txt), and OUT/log: "what value" lines, with moments taken before and after each act.
// usage: node web.js SITE OUT play|held|mute (autoplay allowed; the browser's own policy; no Web Audio)
"use strict";
const [fs, http, path, puppeteer, { execFileSync }] = ["fs", "http", "path", "puppeteer-core", "child_process"].map(require);
const [site, out, run] = process.argv.slice(2);
const now = () => performance.now() / 1000, nap = (s) => new Promise((r) => setTimeout(r, s * 1000));
const log = (what, v) => fs.appendFileSync(out + "/log", `${what} ${v}\n`);
const types = { ".html": "text/html", ".js": "text/javascript", ".wasm": "application/wasm" };
const server = http.createServer((q, r) => fs.readFile(path.join(site, path.normalize(q.url)), (e, b) =>
    r.writeHead(e ? 404 : 200, { "Content-Type": types[path.extname(q.url)] ?? "application/octet-stream" }).end(b)));

// In the page, before its own scripts: each frame's clear is timed, and what plays into the speakers is
// recorded too, by a script processor beside them.
function tap(mute) {
    [window.__frames, window.__rec] = [[], [[], []]];
    for (const gl of [WebGLRenderingContext.prototype, WebGL2RenderingContext.prototype]) {
        gl.clear = ((clear) => function (m) { __frames.push(performance.now() / 1000); return clear.call(this, m); })(gl.clear);
    }
    const connect = AudioNode.prototype.connect;
    AudioNode.prototype.connect = function (to, ...rest) {
        if (to instanceof AudioDestinationNode && !this.__rec) {
            const p = Object.assign(this.context.createScriptProcessor(4096, 2, 2), { __rec: true });
            p.onaudioprocess = (e) => __rec.forEach((c, i) => c.push(...e.inputBuffer.getChannelData(i)));
            window.__rate = this.context.sampleRate;
            connect.call(this, p);
            connect.call(p, to);
        }
        return connect.call(this, to, ...rest);
    };
    for (const name of mute ? ["AudioContext", "webkitAudioContext"] : []) delete window[name];
}

(async () => {
    await new Promise((r) => server.listen(0, "127.0.0.1", r));
    const browser = await puppeteer.launch({ executablePath: "/usr/bin/chromium", headless: true, userDataDir: out +
        "/profile", args: ["--no-sandbox", "--no-first-run", "--disable-background-networking", "--disable-sync",
        "--disable-component-update", "--disable-quic", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
        "--autoplay-policy=" + (run === "held" ? "document-user-activation-required" : "no-user-gesture-required")] });
    const page = await browser.newPage(), cdp = await page.createCDPSession();
    // Read without a user gesture, which would count as the person's first act and let the sound start.
    const peek = async (e) => (await cdp.send("Runtime.evaluate", { expression: e, returnByValue: true })).result.value;
    const until = async (e) => { for (const end = now() + 30; !(await peek(e)) && now() < end;) await nap(0.01); };
    const status = "document.getElementById('status').textContent", hint = "+!!document.getElementById('note').textContent";
    await page.evaluateOnNewDocument(tap, run === "mute");
    log("launched", now());
    await page.goto(`http://${server.address().address}:${server.address().port}/index.html`);
    await until(`__frames.length >= 3 || ${status}`); // the third frame comes after a tick: the timer runs
    log("lit", now());
    const clip = await peek("(({ x, y, width, height }) => ({ x, y, width, height }))(canvas.getBoundingClientRect())");
    for (let i = 0; run === "play" && i < 20; ++i, await nap(0.1)) {
        log("from", now());
        await page.screenshot({ clip, path: `${out}/look-${i}.png` });
        log("to", now());
    }
    if (run !== "mute") {
        log("hint", await peek(hint));
        await nap(1.0);
        log("heard", await peek("__rec[0].filter((v) => Math.abs(v) > 1e-4).length"));
        for (const k of ["Space", "KeyQ", "Enter", "KeyX", "F4", "ArrowLeft"]) await page.keyboard.press(k);
        for (const act of [() => page.keyboard.up("Escape"), () => page.mouse.click(300, 300), () => page.mouse.wheel()]) await act();
        await nap(run === "held" ? 2.0 : 0.5);
        log("hint", await peek(hint));
        log("asked", now());
        await page.keyboard.down("Escape");
    }
    await until(status);
    log("ended", now());
    const [n, drawn] = await peek("[__rec[0].length, __frames.length]");
    await nap(0.5);
    const [code, ...printed] = (await peek(status)).split("\n");
    [["status", code], ["drawn", (await peek("__frames.length")) - drawn]].forEach((v) => log(...v));
    (await peek("__frames")).forEach((t) => log("frame", t));
    fs.writeFileSync(out + "/stdout.txt", printed.map((l) => l + "\n").join(""));
    for (const [f, a, b] of run === "mute" ? [] : [["sound", 0, n], ["after", n, await peek("__rec[0].length")]]) {
        fs.writeFileSync(`${out}/${f}.f32`, Buffer.from(await peek(`(() => { const f = new Float32Array(${2 * (b - a)}),
            u = new Uint8Array(f.buffer); let s = ""; f.forEach((_, i) => { f[i] = __rec[i % 2][${a} + (i >> 1)]; });
            for (let i = 0; i < u.length; i += 32768) s += String.fromCharCode(...u.subarray(i, i + 32768));
            return btoa(s); })()`), "base64"));
        execFileSync("ffmpeg", ["-v", "error", "-f", "f32le", "-ar", `${await peek("__rate")}`, "-ac", "2", "-i",
            `${out}/${f}.f32`, `${out}/${f}.wav`]);
    }
    await browser.close();
    server.close();
})().catch((e) => { console.error(e); process.exit(1); });
