// Drives Debian's chromium (headless, through playwright-core) at the viewer of
// a running pyra serve: opens /view/NAME, waits until OpenSeadragon reports the
// slide fully loaded, takes screenshots, then opens it zoomed in. Prints one
// JSON object: per visit the image's rectangle in the view, the tile levels
// requested, the page state and any error text.
// usage: node browser.mjs PLAYWRIGHT_CORE_DIR BASE_URL SLIDE_URL_PATH ZOOM OUT_DIR
import path from "node:path";
import { createRequire } from "node:module";
import fs from "node:fs";

const [playwrightDir, base, slide, zoom, outDir] = process.argv.slice(2);
const require = createRequire(import.meta.url);
const { chromium } = require(path.join(playwrightDir, "index.js"));

const userDataDir = fs.mkdtempSync(path.join(outDir, "chromium-"));
const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath: "/usr/bin/chromium",
  headless: true,
  viewport: { width: 1280, height: 800 },
  deviceScaleFactor: 1,
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});

async function visit(query, shot) {
  const page = await context.newPage();
  const levels = [];
  const failed = [];
  page.on("request", (r) => {
    const m = r.url().match(/_files\/(\d+)\/\d+_\d+\.jpeg$/);
    if (m) levels.push(Number(m[1]));
  });
  page.on("requestfailed", (r) => failed.push(r.url()));
  page.on("response", (r) => { if (r.status() >= 400) failed.push(`${r.status()} ${r.url()}`); });
  await page.goto(`${base}/view/${slide}${query}`);
  await page.waitForFunction(() => ["loaded", "failed"].includes(document.body.dataset.state),
                             null, { timeout: 60000 });
  // The scale bar follows the viewport after the last animation frame.
  await page.waitForTimeout(300);
  const state = await page.evaluate(() => {
    const v = window.pyraViewer;
    const item = v.world.getItemAt(0);
    const size = item.getContentSize();
    const tl = item.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
    const br = item.imageToViewerElementCoordinates(new OpenSeadragon.Point(size.x, size.y));
    const view = document.getElementById("view").getBoundingClientRect();
    const msg = document.getElementById("message");
    // What OpenSeadragon draws over the slide: the navigator and the buttons.
    const overlays = [...document.querySelectorAll(".navigator, .openseadragon-container button, " +
                                                   ".openseadragon-container [title]")]
      .map((e) => e.getBoundingClientRect()).filter((r) => r.width > 0 && r.height > 0)
      .map((r) => [r.left, r.top, r.right, r.bottom]);
    return {
      state: document.body.dataset.state,
      message: msg.hidden ? "" : msg.textContent,
      image: [tl.x, tl.y, br.x, br.y],
      overlays,
      view: [view.left, view.top, view.width, view.height],
      scalebar: document.getElementById("scalebar").hidden ? "" :
        document.getElementById("scalebar-label").textContent,
      properties: document.querySelectorAll("#properties tr").length,
      associated: [...document.querySelectorAll("#associated img")].filter((i) => i.naturalWidth > 0).length,
      navigator: !!document.querySelector(".navigator"),
    };
  });
  await page.screenshot({ path: path.join(outDir, shot) });
  await page.close();
  return { ...state, levels: [...new Set(levels)].sort((a, b) => a - b), failed };
}

try {
  const home = await visit("", "view.png");
  const zoomed = await visit(`?zoom=${zoom}&x=0.3&y=0.4`, "zoomed.png");
  console.log(JSON.stringify({ home, zoomed }));
} finally {
  await context.close();
}
