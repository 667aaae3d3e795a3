// The live view: follows GET /events (one JSON object per message, see
// WebView.h) and draws it with dygraphs.  Every raw sample is kept in order
// for the last 10 s; the charts redraw at most once per display frame, with
// whatever arrived since the last one.
"use strict";
(function () {
  const RATE = 512;
  const WINDOW = 10 * RATE;
  const KEEP_POINTS = 300;
  const BANDS = ["eegDelta", "eegTheta", "eegLowAlpha", "eegHighAlpha",
                 "eegLowBeta", "eegHighBeta", "eegLowGamma", "eegHighGamma"];
  const BAND_LABELS = ["delta", "theta", "low α", "high α", "low β", "high β", "low γ", "high γ"];
  const token = new URLSearchParams(location.search).get("token") || "";
  const $ = (id) => document.getElementById(id);

  let next = 0;        // index of the next raw sample since the session began
  let raw = [];        // [seconds, value] for the trace, oldest first
  let notes = [];      // dygraphs annotations on the trace
  let bands = [];      // [Date, 8 powers]
  let rr = [];         // [Date, RR ms]
  let dirty = { trace: false, bands: false, rr: false };
  let blinkCount = 0;
  let state = { name: "connecting", port: "", since: 0, reconnect: true };

  const trace = new Dygraph($("trace"), [[0, 0]], {
    labels: ["s", "raw"], legend: "never", animatedZooms: false, drawPoints: false,
    xlabel: "headset time (s)", ylabel: "counts", colors: ["#2a6fdb"],
    axes: { x: { valueFormatter: (x) => x.toFixed(3) + " s" } },
  });
  // Wall-clock axes read as times of day at any zoom.
  const timeAxis = {
    axisLabelFormatter: (d) => new Date(d).toLocaleTimeString("en-GB"),
    valueFormatter: (ms) => new Date(ms).toLocaleTimeString("en-GB"),
  };
  const bandChart = new Dygraph($("bands"), [[new Date(), ...BANDS.map(() => null)]], {
    labels: ["time", ...BAND_LABELS], logscale: true, legend: "always", labelsDiv: $("bands-legend"),
    labelsKMB: true, connectSeparatedPoints: true,
    axes: { x: timeAxis, y: { axisLabelWidth: 60 } },
  });
  const tachogram = new Dygraph($("tachogram"), [[new Date(), null]], {
    labels: ["time", "RR (ms)"], legend: "never", drawPoints: true, pointSize: 2, ylabel: "RR (ms)",
    colors: ["#c2185b"], axes: { x: timeAxis },
  });

  function clock(t) {
    return new Date(t * 1000).toLocaleTimeString();
  }

  function showState() {
    const el = $("state");
    el.className = "state " + state.name;
    const since = state.since ? clock(state.since) : "";
    const away = state.since ? Math.round(Date.now() / 1000 - state.since) : 0;
    if (state.name === "connected") {
      el.textContent = "connected to " + state.port + " since " + since;
    } else if (state.name === "lost") {
      el.textContent = "headset lost at " + since + " (" + away + " s ago)" +
          (state.reconnect ? ", reconnecting…" : "");
    } else if (state.name === "ended") {
      el.textContent = "the session has ended (" + since + ")";
    } else if (state.name === "gone") {
      el.textContent = "the tool is not answering; retrying…";
    } else {
      el.textContent = "connecting…";
    }
  }

  function meter(key, value, text) {
    $(key).textContent = text === undefined ? String(value) : text;
    const bar = $(key + "-bar");
    if (bar) bar.value = value;
  }

  function trimTo(list, count) {
    if (list.length > count) list.splice(0, list.length - count);
  }

  function addDelivery(d) {
    if (Array.isArray(d.raw)) {
      for (const s of d.raw) raw.push([next++ / RATE, s]);
      trimTo(raw, WINDOW);
      dirty.trace = true;
    }
    if (d.blinkStrength !== undefined && next > 0) {
      blinkCount++;
      notes.push({ series: "raw", x: (next - 1) / RATE, shortText: "B", text: "Blink strength " + d.blinkStrength });
      $("blinks").textContent = blinkCount + " (last: strength " + d.blinkStrength + ")";
      dirty.trace = true;
    }
    if (d.poorSignal !== undefined) {
      const q = d.poorSignal;
      meter("poor-signal", Math.min(q, 200), q === 0 ? "0 (good)" : String(q));
      $("quality-bar").value = Math.min(q, 200);
    }
    if (d.vScoreAttention !== undefined) meter("attention", d.vScoreAttention);
    if (d.vScoreMeditation !== undefined) meter("meditation", d.vScoreMeditation);
    if (d.heartRate !== undefined) $("heart-rate").textContent = String(d.heartRate);
    if (d.rrInt !== undefined && d.rrInt > 0) {
      rr.push([new Date(d.t * 1000), d.rrInt]);
      trimTo(rr, KEEP_POINTS);
      dirty.rr = true;
    }
    if (BANDS.some((k) => d[k] !== undefined)) {
      // Zero has no place on a log scale: a gap instead.
      bands.push([new Date(d.t * 1000), ...BANDS.map((k) => (d[k] > 0 ? d[k] : null))]);
      trimTo(bands, KEEP_POINTS);
      dirty.bands = true;
    }
  }

  function showHrv(h) {
    $("hrv").textContent = "LF " + h.LF.toFixed(1) + "  HF " + h.HF.toFixed(1) + "  LF/HF " +
        h["LF/HF"].toFixed(2) + "  energy level " + h.energy + "  (" + Math.round(h.seconds) + " s of beats)";
  }

  function handle(m) {
    if (m.event === "hello") {
      // A new stream (the first, or after the tool came back): start afresh.
      next = m.samples; raw = []; notes = []; dirty.trace = true;
      state = { name: m.state, port: m.port, since: m.since, reconnect: m.reconnect };
      $("recording").textContent = m.recording.length ? "recording to " + m.recording.join(", ") : "not recording";
      if (m.hrv) showHrv(m.hrv);
      showState();
    } else if (m.event === "connected") {
      state = { ...state, name: "connected", port: m.port, since: m.t }; showState();
    } else if (m.event === "lost") {
      state = { ...state, name: "lost", since: m.t, reconnect: m.reconnect }; showState();
    } else if (m.event === "ended") {
      state = { ...state, name: "ended", since: m.t }; showState();
      events.close();
    } else if (m.event === "message") {
      $("message").textContent = clock(m.t) + "  " + m.text;
      $("message").className = "message" + (m.problem ? " problem" : "");
    } else if (m.event === "hrv") {
      showHrv(m);
    } else if (m.mark !== undefined) {
      const li = document.createElement("li");
      li.textContent = clock(m.t) + "  " + m.mark;
      $("marks").prepend(li);
      if (next > 0) notes.push({ series: "raw", x: (next - 1) / RATE, shortText: "M", text: m.mark });
      dirty.trace = true;
    } else {
      addDelivery(m);
    }
  }

  function draw() {
    if (dirty.trace && raw.length > 0) {
      const first = raw[0][0];
      notes = notes.filter((n) => n.x >= first);
      trace.updateOptions({ file: raw, dateWindow: [Math.max(first, raw[raw.length - 1][0] - WINDOW / RATE),
                                                    raw[raw.length - 1][0]] });
      trace.setAnnotations(notes);
    }
    if (dirty.bands && bands.length > 0) bandChart.updateOptions({ file: bands });
    if (dirty.rr && rr.length > 0) tachogram.updateOptions({ file: rr });
    dirty = { trace: false, bands: false, rr: false };
    requestAnimationFrame(draw);
  }
  requestAnimationFrame(draw);
  setInterval(showState, 1000);

  const events = new EventSource("events");
  events.onmessage = (e) => handle(JSON.parse(e.data));
  events.onerror = () => {
    if (state.name !== "ended") { state = { ...state, name: "gone" }; showState(); }
  };

  $("mark-form").addEventListener("submit", async (e) => {
    e.preventDefault();
    const text = $("mark-text").value.trim();
    if (!text) return;
    const answer = await fetch("mark?token=" + encodeURIComponent(token), {
      method: "POST", headers: { "Content-Type": "text/plain" }, body: text,
    }).catch(() => null);
    $("mark-status").textContent = answer && answer.ok ? "marked" : "not marked: " +
        (answer ? (await answer.text()).trim() : "the tool is not answering");
  });

  // For people and tests that look at the page from outside.
  window.velmoraView = { trace, bandChart, tachogram, samples: () => next };
})();
