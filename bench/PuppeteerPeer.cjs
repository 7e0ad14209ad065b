// The way most users render pages today, as orvo-bench-chromium's peer:
// puppeteer-core driving the machine's chromium, each URL of a list loaded
// in a browser context of its own (as the Chromium engine isolates each
// request) at a 1280 x 800 viewport until its load event or 30 s, then
// its HTML and a full-page PNG written to a directory, IN_FLIGHT pages at
// a time.
// Prints "ok\tURL" or "failed\tURL\tREASON" per URL.
//
// usage: node PuppeteerPeer.cjs URLS_FILE OUT_DIR IN_FLIGHT
// (puppeteer-core found through NODE_PATH)

const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [urlsFile, outDir, inFlightText] = process.argv.slice(2);
const urls = fs.readFileSync(urlsFile, 'utf8').split('\n').filter(Boolean);
const inFlight = Math.max(1, parseInt(inFlightText || '1', 10));
const PageTimeoutMs = 30000;

async function render(browser, url, index) {
  const context = await browser.createBrowserContext();
  try {
    const page = await context.newPage();
    await page.setViewport({width: 1280, height: 800});
    // A page still loading at the time limit is taken as it is, as
    // orvo-render --page-timeout takes it.
    await page.goto(url, {waitUntil: 'load', timeout: PageTimeoutMs}).catch((error) => {
      if (error.name !== 'TimeoutError') {
        throw error;
      }
    });
    const name = path.join(outDir, String(index + 1).padStart(4, '0'));
    fs.writeFileSync(name + '.html', await page.content());
    await page.screenshot({path: name + '.png', fullPage: true, type: 'png'});
    console.log('ok\t' + url);
  } catch (error) {
    console.log('failed\t' + url + '\t' + String(error.message).split('\n')[0]);
  } finally {
    await context.close();
  }
}

async function main() {
  fs.mkdirSync(outDir, {recursive: true});
  const args = ['--no-first-run', '--disable-gpu', '--disable-extensions'];
  if (process.getuid && process.getuid() === 0) {
    args.push('--no-sandbox');
  }
  const browser = await puppeteer.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
                                          headless: true, args});
  let next = 0;
  const worker = async () => {
    for (let index = next++; index < urls.length; index = next++) {
      await render(browser, urls[index], index);
    }
  };
  await Promise.all(Array.from({length: inFlight}, worker));
  await browser.close();
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
