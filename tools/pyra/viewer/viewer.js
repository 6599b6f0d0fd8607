// The viewer page of pyra serve: OpenSeadragon over the slide's Deep Zoom
// tiles, a scale bar from the slide's micrometres per pixel, and a side panel.
// The page's state (loading, open, loaded, failed) is kept in body[data-state]
// so that scripts and tests can wait for it.
(function () {
  "use strict";
  const name = decodeURIComponent(location.pathname.replace(/^\/view\//, ""));
  const url = name.split("/").map(encodeURIComponent).join("/");
  const params = new URLSearchParams(location.search);
  const body = document.body;

  function setState(state) { body.dataset.state = state; }
  function fail(text) {
    const m = document.getElementById("message");
    m.textContent = text;
    m.hidden = false;
    setState("failed");
  }

  document.title = name;
  document.getElementById("name").textContent = name;

  if (typeof OpenSeadragon === "undefined") {
    fail("OpenSeadragon is not installed beside pyra (run scripts/fetch-viewer.sh).");
    return;
  }

  const viewer = OpenSeadragon({
    id: "view",
    prefixUrl: "/static/openseadragon/images/",
    tileSources: "/dzi/" + url + ".dzi",
    showNavigator: true,
    navigatorPosition: "TOP_RIGHT",
    showRotationControl: false,
    autoHideControls: false,
    crossOriginPolicy: false,
    maxZoomPixelRatio: 2,
    animationTime: 0.5,
  });
  window.pyraViewer = viewer;

  let mpp = 0;
  viewer.addHandler("open", function () {
    setState("open");
    const zoom = parseFloat(params.get("zoom"));
    if (zoom > 0) {
      // zoom is relative to the whole slide in view; x, y its centre (0..1 of the width).
      const item = viewer.world.getItemAt(0);
      const size = item.getContentSize();
      const x = parseFloat(params.get("x")), y = parseFloat(params.get("y"));
      const centre = new OpenSeadragon.Point(isNaN(x) ? 0.5 : x, isNaN(y) ? 0.5 * size.y / size.x : y * size.y / size.x);
      viewer.viewport.zoomTo(viewer.viewport.getHomeZoom() * zoom, null, true);
      viewer.viewport.panTo(centre, true);
    }
    const item = viewer.world.getItemAt(0);
    item.addHandler("fully-loaded-change", function (e) {
      if (e.fullyLoaded) setState("loaded");
      else if (body.dataset.state === "loaded") setState("open");
    });
    if (item.getFullyLoaded && item.getFullyLoaded()) setState("loaded");
    updateScale();
  });
  viewer.addHandler("open-failed", function (e) {
    fail("The slide did not open: " + (e.message || "unknown error"));
  });
  viewer.addHandler("update-viewport", updateScale);

  // The longest bar of 1, 2 or 5 x 10^n micrometres that fits in 160 screen pixels.
  function updateScale() {
    const bar = document.getElementById("scalebar");
    const item = viewer.world.getItemAt(0);
    if (!(mpp > 0) || !item) { bar.hidden = true; return; }
    const screenPerImage = item.viewportToImageZoom(viewer.viewport.getZoom(true));
    const umPerScreen = mpp / screenPerImage;
    const maxUm = 160 * umPerScreen;
    let step = Math.pow(10, Math.floor(Math.log10(maxUm)));
    for (const m of [5, 2, 1]) if (m * step <= maxUm) { step *= m; break; }
    document.getElementById("scalebar-line").style.width = Math.round(step / umPerScreen) + "px";
    document.getElementById("scalebar-label").textContent =
      step >= 1000 ? (step / 1000) + " mm" : step >= 1 ? step + " \u00b5m" : (step * 1000) + " nm";
    bar.hidden = false;
  }

  fetch("/info/" + url + ".json").then(function (r) {
    if (!r.ok) throw new Error("properties: HTTP " + r.status);
    return r.json();
  }).then(function (props) {
    mpp = parseFloat(props["pyradec.mpp-x"]) || 0;
    const tbody = document.querySelector("#properties tbody");
    for (const key of Object.keys(props)) {
      const tr = document.createElement("tr");
      const k = document.createElement("td"), v = document.createElement("td");
      k.textContent = key;
      v.textContent = props[key];
      tr.append(k, v);
      tbody.append(tr);
    }
    updateScale();
  }).catch(function (e) { fail(String(e.message || e)); });

  const associated = document.getElementById("associated");
  for (const which of ["thumbnail", "label", "macro"]) {
    const fig = document.createElement("figure");
    const img = document.createElement("img");
    const cap = document.createElement("figcaption");
    img.alt = which;
    img.src = "/associated/" + url + "/" + which + ".jpeg";
    img.onerror = function () { fig.remove(); };
    cap.textContent = which;
    fig.append(img, cap);
    associated.append(fig);
  }
})();
