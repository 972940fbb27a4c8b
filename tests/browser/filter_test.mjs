// Reads the sample blog through the proxy in headless Chromium: hidden authors, "X" links,
// alternating classes, links back to the proxy, hiding an author with a click, and a restart.
//
// node filter_test.mjs --proxy PATH --blog PATH --blog-host HOST [--shots DIR]
// Exits 0 when every check passed, 1 on the first failed check, 77 (skipped) when Chromium or
// playwright-core is not installed. Screenshots go to --shots (default: a temp directory).
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const SKIP = 77;
const CHROMIUM = '/usr/bin/chromium';
const TIME_LIMIT_MS = 150_000;

function options() {
  const args = process.argv.slice(2);
  const o = {};
  for (let i = 0; i < args.length; i += 2) {
    o[args[i].replace(/^--/, '')] = args[i + 1];
  }
  for (const required of ['proxy', 'blog', 'blog-host']) {
    if (!o[required]) {
      console.error(`usage: node filter_test.mjs --proxy PATH --blog PATH --blog-host HOST [--shots DIR]`);
      process.exit(2);
    }
  }
  o.shots ??= path.join(os.tmpdir(), 'mivrel-browser-shots');
  for (const file of ['proxy', 'blog', 'shots']) {
    o[file] = path.resolve(o[file]);
  }
  return o;
}

function skip(reason) {
  console.log(`SKIPPED: browser test: ${reason}`);
  process.exit(SKIP);
}

const opt = options();
if (!fs.existsSync(CHROMIUM)) {
  skip(`${CHROMIUM} is not installed (Debian package "chromium")`);
}
if (Number(process.versions.node.split('.')[0]) < 20) {
  skip(`node ${process.versions.node} is too old for playwright-core (it needs node 20 or newer)`);
}
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  skip('playwright-core is not installed in tests/browser/node_modules (run "npm ci" there)');
}

// The filter list of the test's mivrel.conf.
const listed = {
  names: ['Grumbleweed', 'Captain Caps'],
  links: ['http://spin-to-win.example/'],
  words: ['casino'],
  urls: ['ads.glimmerbanner.invalid'],
};

const children = new Set();
let browser = null; // the Chromium context, closed before its profile is removed
const tempDirs = [];

async function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.once('error', () => resolve(false));
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits (bounded) until `test` holds; fails with `what` otherwise.
async function waitFor(what, test, ms = 10_000) {
  const until = Date.now() + ms;
  while (Date.now() < until) {
    if (await test()) {
      return;
    }
    await sleep(50);
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Starts a program whose standard output is collected line by line into `lines`.
function start(label, file, args, cwd) {
  const child = spawn(file, args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  child.lines = [];
  child.label = label;
  let pending = '';
  const collect = (data) => {
    pending += data.toString('utf8');
    const parts = pending.split('\n');
    pending = parts.pop();
    child.lines.push(...parts);
  };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  child.exited = new Promise((resolve) => {
    child.once('exit', resolve);
    child.once('error', (error) => {
      child.lines.push(`cannot start ${file}: ${error.message}`);
      resolve();
    });
  });
  children.add(child);
  child.exited.then(() => children.delete(child));
  return child;
}

async function stop(child) {
  if (child && children.has(child)) {
    child.kill('SIGTERM');
    await child.exited;
  }
}

// The comment blocks of a page as the blog sends it, in page order.
function parseBlocks(html) {
  const blocks = [];
  const re = /<div class="((?:white-)?com-blck)" id="([^"]+)"><p>([\s\S]*?)<\/div>/g;
  for (const m of html.matchAll(re)) {
    const line = m[3];
    let name;
    let link = '';
    if (line.startsWith('<a href="')) {
      link = line.slice(9, line.indexOf('"', 9));
      name = line.slice(line.indexOf('>') + 1, line.indexOf('</a>'));
    } else {
      name = line.slice(0, line.indexOf(' |'));
    }
    blocks.push({ id: m[2], name, link, raw: m[0] });
  }
  return blocks;
}

function wholeWord(text, word) {
  const escaped = word.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  return new RegExp(`(?<![A-Za-z])${escaped}(?![A-Za-z])`, 'i').test(text);
}

function isHidden(block, names, links) {
  return (
    names.includes(block.name) ||
    (block.link !== '' && links.includes(block.link)) ||
    listed.words.some((w) => wholeWord(block.raw, w))
  );
}

const hex = (text) => Buffer.from(text, 'utf8').toString('hex');

async function main() {
  const blogPort = await freePort();
  const proxyPort = await freePort();
  const origin = `http://127.0.0.1:${proxyPort}`;
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'mivrel-browser-'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'mivrel-chromium-'));
  tempDirs.push(work, profile);
  fs.mkdirSync(opt.shots, { recursive: true });
  const confPath = path.join(work, 'mivrel.conf');
  fs.writeFileSync(
    confPath,
    [
      `server 127.0.0.1:${blogPort}`,
      'host 127.0.0.1',
      `port ${proxyPort}`,
      ...listed.names.map((n) => `name ${n}`),
      ...listed.links.map((l) => `link ${l}`),
      ...listed.words.map((w) => `cont ${w}`),
      ...listed.urls.map((u) => `xurl ${u}`),
      '',
    ].join('\n'),
  );

  start('sample blog', opt.blog, [String(blogPort)], work);
  await waitFor('the sample blog to listen', () => accepts(blogPort));
  let proxy = start('proxy', opt.proxy, [], work);
  await waitFor('the proxy to listen', () => accepts(proxyPort));

  // What the blog itself sends, with its links pointing at the proxy as they do after the
  // proxy's link rewriting (the word test looks at the rewritten block).
  const rawPages = {};
  for (const p of ['/discussion/lighthouse-auction', '/discussion/seashell-meters', '/discussion/pothole-census']) {
    const reply = await fetch(`http://127.0.0.1:${blogPort}${p}`);
    const text = (await reply.text()).replaceAll(`="http://${opt['blog-host']}`, `="${origin}`);
    rawPages[p] = parseBlocks(text);
    assert.ok(rawPages[p].length > 0, `the sample blog's ${p} holds comment blocks`);
  }

  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 900, height: 900 },
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      // no name lookups at all: everything the page needs comes from 127.0.0.1
      '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1',
    ],
  });
  // Anything the page asks from elsewhere than the proxy is refused and recorded: links and
  // resources that escaped the link rewriting, or scripts that should have been cut out.
  browser = context;
  const escaped = [];
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith(`${origin}/`)) {
      return route.continue();
    }
    escaped.push(url);
    return route.abort();
  });
  const page = context.pages()[0] ?? (await context.newPage());

  // The proxy's last statistics line after `since` lines of its output.
  async function statistics(since) {
    let found = null;
    await waitFor('the proxy\'s "posts tested" line', () => {
      const line = proxy.lines.slice(since).find((l) => / posts tested, /.test(l));
      found = line ? line.match(/ (\d+) posts tested, (\d+) removed, ([\d.]+)%$/) : null;
      return found !== null;
    });
    return { tested: Number(found[1]), removed: Number(found[2]), percent: Number(found[3]) };
  }

  // Loads a discussion (or reloads it) and checks it against what the blog sent and the list.
  async function checkDiscussion(pagePath, names, links, load) {
    const since = proxy.lines.length;
    await load();
    assert.equal(page.url(), `${origin}${pagePath}`, 'the page came through the proxy');
    const raw = rawPages[pagePath];
    const expected = raw.filter((b) => !isHidden(b, names, links));
    assert.ok(expected.length >= 2 && expected.length < raw.length, `${pagePath} has hidden and kept comments`);

    const shown = await page.$$eval('div[id]', (divs) =>
      divs
        .filter((d) => d.className.endsWith('com-blck'))
        .map((d) => {
          const first = d.querySelector('p');
          const anchors = [...first.querySelectorAll('a')];
          const xs = anchors.filter((a) => a.textContent === 'X');
          const beforeX = document.createRange();
          beforeX.setStart(first, 0);
          if (xs.length) {
            beforeX.setEndBefore(xs[0]);
          }
          return {
            id: d.id,
            cls: d.className,
            xHrefs: xs.map((a) => a.getAttribute('href')),
            beforeX: xs.length ? beforeX.toString() : '',
            afterX: xs.length ? (xs[0].nextSibling?.textContent ?? '') : '',
            authorAnchor: anchors.length ? [anchors[0].getAttribute('href'), anchors[0].textContent] : [],
            background: getComputedStyle(d).backgroundColor,
          };
        }),
    );
    assert.deepEqual(
      shown.map((b) => b.id),
      expected.map((b) => b.id),
      `${pagePath}: exactly the comments of unlisted authors, in page order`,
    );
    // the names as the browser shows them, entities decoded
    const shownNames = await page.evaluate(
      (names) => names.map((n) => new DOMParser().parseFromString(n, 'text/html').body.textContent),
      expected.map((b) => b.name),
    );
    shown.forEach((b, i) => {
      const author = expected[i];
      if (author.link !== '') {
        assert.deepEqual(b.authorAnchor, [author.link, shownNames[i]], `${pagePath} #${b.id}: the author's link is intact`);
      }
      assert.equal(b.beforeX, `${shownNames[i]} (`, `${pagePath} #${b.id}: the "X" link follows the author's name`);
      assert.equal(b.cls, i % 2 === 0 ? 'com-blck' : 'white-com-blck', `${pagePath} #${b.id}: classes alternate`);
      assert.deepEqual(
        b.xHrefs,
        [`${origin}/mivrel/filter/${hex(author.name)}00${hex(author.link)}00/`],
        `${pagePath} #${b.id}: one "X" link naming ${author.name}`,
      );
      assert.ok(b.afterX.startsWith(') |'), `${pagePath} #${b.id}: the "X" link stands before " |"`);
    });
    // the style sheet came through the proxy too: the two classes look different
    assert.notEqual(shown[0].background, shown[1].background, `${pagePath}: the style sheet was loaded`);

    const hrefs = await page.$$eval('a[href], link[href], script[src]', (els) =>
      els.map((e) => e.getAttribute('href') ?? e.getAttribute('src')),
    );
    const authorLinks = new Set(raw.map((b) => b.link).filter((l) => l !== ''));
    const own = hrefs.filter((h) => !authorLinks.has(h));
    assert.ok(own.length > 3, `${pagePath}: the page has links of its own`);
    for (const h of own) {
      assert.equal(new URL(h, page.url()).origin, origin, `${pagePath}: link ${h} leads back to the proxy`);
    }

    const stats = await statistics(since);
    assert.equal(stats.tested, raw.length, `${pagePath}: posts tested`);
    assert.equal(stats.removed, raw.length - expected.length, `${pagePath}: posts removed`);
    assert.ok(Math.abs(stats.percent - (stats.removed * 100) / stats.tested) < 0.051, `${pagePath}: percentage`);
    return expected;
  }

  const discussion = '/discussion/lighthouse-auction';
  const names = [...listed.names];
  const links = [...listed.links];
  const kept = await checkDiscussion(discussion, names, links, () => page.goto(`${origin}${discussion}`));
  console.log(`ok: ${discussion} through the proxy: ${kept.length} of ${rawPages[discussion].length} comments kept`);
  await page.screenshot({ path: path.join(opt.shots, 'demo-before.png'), fullPage: true });

  // Hide a linked author who wrote more than one of the kept comments.
  const target = kept.find((b) => b.link !== '' && kept.filter((o) => o.name === b.name).length > 1);
  assert.ok(target, 'the discussion has a linked author with several kept comments');
  const confBefore = fs.readFileSync(confPath, 'utf8');
  const xLink = page.locator(`[id="${target.id}"] p a`, { hasText: /^X$/ });
  const commandUrl = await xLink.getAttribute('href');
  await xLink.click();
  await page.waitForURL(commandUrl);
  const confirmation = await page.innerText('body');
  assert.ok(confirmation.includes(`Name "${target.name}" has been added to mivrel.conf.`), `confirmation names ${target.name}`);
  assert.ok(confirmation.includes(`Link "${target.link}" has been added to mivrel.conf.`), `confirmation names ${target.link}`);
  assert.ok(confirmation.includes('Press the [Back] button'), 'confirmation says to go back');
  assert.equal(
    fs.readFileSync(confPath, 'utf8'),
    `${confBefore}name ${target.name}\nlink ${target.link}\n`,
    'the author was appended to mivrel.conf',
  );
  // the page has no doctype, so its body fills the window: the picture is cut below its text
  const textBottom = await page.evaluate(() => {
    const range = document.createRange();
    range.selectNodeContents(document.body);
    return Math.ceil(range.getBoundingClientRect().bottom);
  });
  await page.screenshot({
    path: path.join(opt.shots, 'demo-confirm.png'),
    clip: { x: 0, y: 0, width: 900, height: Math.min(900, textBottom + 16) },
  });
  console.log(`ok: clicked "X" of ${target.name}: confirmation page, mivrel.conf appended`);

  names.push(target.name);
  links.push(target.link);
  await page.goBack();
  const after = await checkDiscussion(discussion, names, links, () => page.reload());
  assert.ok(after.length < kept.length - 1, `every comment of ${target.name} is gone`);
  await page.screenshot({ path: path.join(opt.shots, 'demo-after.png'), fullPage: true });
  console.log(`ok: back and reload: ${target.name} hidden, ${after.length} comments kept, classes alternate`);

  // A new proxy reads the appended lines back.
  await stop(proxy);
  proxy = start('proxy', opt.proxy, [], work);
  await waitFor('the restarted proxy to listen', () => accepts(proxyPort));
  assert.ok(proxy.lines.includes(`      name: "${target.name}"`), 'the restarted proxy lists the name');
  assert.ok(proxy.lines.includes(`      link: "${target.link}"`), 'the restarted proxy lists the link');
  await checkDiscussion(discussion, names, links, () => page.reload());
  const confAfter = fs.readFileSync(confPath, 'utf8');
  await page.goto(commandUrl);
  const again = await page.innerText('body');
  assert.ok(again.includes(`Name "${target.name}" is already listed in mivrel.conf.`), 'a second click finds the name listed');
  assert.ok(again.includes(`Link "${target.link}" is already listed in mivrel.conf.`), 'a second click finds the link listed');
  assert.equal(fs.readFileSync(confPath, 'utf8'), confAfter, 'a second click appends nothing');
  console.log(`ok: after a restart ${target.name} stays hidden and is already listed`);

  // The chunked discussion, and the one with the advertising scripts.
  await checkDiscussion('/discussion/seashell-meters', names, links, () => page.goto(`${origin}/discussion/seashell-meters`));
  console.log('ok: the chunked discussion is filtered the same way');
  const since = proxy.lines.length;
  await checkDiscussion('/discussion/pothole-census', names, links, () => page.goto(`${origin}/discussion/pothole-census`));
  const adTraces = await page.$$eval('script, .ad', (els) => els.map((e) => e.outerHTML));
  assert.deepEqual(adTraces, [], 'the advertising scripts and their banner are gone');
  assert.ok(
    proxy.lines.slice(since).some((l) => / 2 URLs removed$/.test(l)),
    'the proxy reports the two scripts removed',
  );
  console.log('ok: the advertising scripts are cut out');

  await page.click('#foot a:text-is("About")');
  await page.waitForURL(`${origin}/about`);
  assert.equal(await page.innerText('h1'), 'About the Harbour Lantern', 'a link followed leads to the page through the proxy');
  assert.deepEqual(escaped, [], 'the browser asked nothing of any other address');
  console.log('ok: following a link stays behind the proxy; nothing was asked of another address');

  console.log(`browser test passed; screenshots in ${opt.shots}`);
}

async function cleanUp() {
  if (browser) {
    await Promise.race([browser.close(), sleep(10_000)]);
    browser = null;
  }
  for (const child of [...children]) {
    await stop(child);
  }
  for (const dir of tempDirs) {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const watchdog = setTimeout(async () => {
  console.log(`FAILED: browser test: not finished within ${TIME_LIMIT_MS / 1000} s`);
  await cleanUp();
  process.exit(1);
}, TIME_LIMIT_MS);

try {
  await main();
  clearTimeout(watchdog);
  await cleanUp();
  process.exit(0);
} catch (error) {
  clearTimeout(watchdog);
  console.log(`FAILED: browser test: ${error.message}`);
  for (const child of children) {
    console.log(`--- last output of the ${child.label}:`);
    console.log(child.lines.slice(-15).join('\n'));
  }
  await cleanUp();
  process.exit(1);
}
