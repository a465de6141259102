// brevanta in the browser: live progress of a running task. No inline scripts: the page's
// elements carry what this needs in data- attributes.
"use strict";

function showProgress(root) {
  const status = root.querySelector("[data-role=message]");
  const elapsed = root.querySelector("[data-role=elapsed]");
  const source = new EventSource(root.dataset.events);
  let started = Date.now();
  let serverElapsed = 0;
  let over = false;

  const tick = () => {
    if (!over && elapsed) {
      elapsed.textContent = (serverElapsed + (Date.now() - started) / 1000).toFixed(1) + " s";
    }
  };
  const ticker = setInterval(tick, 200);

  // A document's box, made on first news of it: the page may have loaded before the task named it.
  const boxFor = (kind) => {
    let box = root.querySelector(`[data-document="${CSS.escape(kind)}"]`);
    if (box) return box;
    box = document.createElement("div");
    box.className = "panel";
    box.dataset.document = kind;
    const title = document.createElement("h3");
    title.textContent = kind.toUpperCase();
    const line = document.createElement("p");
    for (const [role, after] of [["state", " · "], ["characters", " characters"]]) {
      const part = document.createElement("span");
      part.dataset.role = role;
      line.append(part, after);
    }
    const note = document.createElement("p");
    note.className = "dim";
    note.dataset.role = "note";
    box.append(title, line, note);
    root.querySelector(".progress-docs").append(box);
    return box;
  };

  const apply = (snapshot) => {
    serverElapsed = snapshot.elapsed;
    started = Date.now();
    if (status) status.textContent = snapshot.message;
    for (const [kind, doc] of Object.entries(snapshot.documents)) {
      const box = boxFor(kind);
      box.querySelector("[data-role=state]").textContent = doc.state;
      box.querySelector("[data-role=characters]").textContent = doc.characters.toLocaleString();
      box.querySelector("[data-role=note]").textContent = doc.note;
    }
    if (elapsed) elapsed.textContent = snapshot.elapsed.toFixed(1) + " s";
  };

  source.addEventListener("progress", (event) => apply(JSON.parse(event.data)));
  source.addEventListener("over", (event) => {
    const snapshot = JSON.parse(event.data);
    over = true;
    clearInterval(ticker);
    source.close();
    apply(snapshot);
    root.dataset.state = snapshot.state;
    const cancel = root.querySelector("[data-role=cancel]");
    if (cancel) cancel.hidden = true;
    if (snapshot.next && snapshot.state === "done") {
      window.location.assign(snapshot.next);
    } else {
      const next = root.querySelector("[data-role=next]");
      if (next) {
        const link = next.querySelector("a");
        if (link && snapshot.next) link.href = snapshot.next;  // set by the task as it ended
        next.hidden = false;
      }
    }
  });
  source.addEventListener("stopped", (event) => {
    over = true;
    clearInterval(ticker);
    source.close();
    if (status) status.textContent = JSON.parse(event.data).message;
  });
}

// A link that leads to a folded section (attach a document) opens it on the way.
function openOnArrival(link) {
  link.addEventListener("click", () => {
    const target = document.getElementById(link.dataset.opens);
    if (target) target.open = true;
  });
}

document.addEventListener("DOMContentLoaded", () => {
  document.querySelectorAll("[data-events]").forEach(showProgress);
  document.querySelectorAll("[data-opens]").forEach(openOnArrival);
});
