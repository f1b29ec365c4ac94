// The scope page: plots each controller's terms from the server's event stream and sends edited gains.
'use strict';

const WINDOW_S = 60;         // plotted history
const MIN_STEP_S = 0.05;     // at most 20 points a second per chart: the page keeps up whatever the state rate
const DRAW_MS = 250;         // chart redraw period
const STALE_S = 5;           // diagnostics older than this show as stale
const ITEMS = { pid_config_x: 3, pid_config_y: 3, pid_config_z: 3, pid_config_yaw: 3, desired_pose: 6 };
const SERIES = [['m', 'measure', '#1565c0'], ['p', 'proportional', '#2e7d32'], ['i', 'integral', '#6a1b9a'],
                ['d', 'derivative', '#ef6c00'], ['o', 'output', '#424242'], ['c', 'command', '#00838f']];
const token = new URLSearchParams(location.search).get('token') || '';

// What the tests and the operator can read: points received and drawn, lags (s) of the latest messages.
const scope = window.scope = { received: 0, charts: [], lags: [], diagnostics: null, config: {} };

function makeChart(axis) {
  const datasets = SERIES.map(([, label, color]) => ({ label, borderColor: color, data: [], borderWidth: 1 }));
  datasets.push({ label: 'saturated', data: [], showLine: false, pointRadius: 3, borderColor: '#c62828',
                  backgroundColor: '#c62828' });
  return new Chart(document.getElementById('chart-' + axis), {
    type: 'line',
    data: { datasets },
    options: { animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
               elements: { point: { radius: 0 } },
               scales: { x: { type: 'linear', title: { display: true, text: 's before the latest step' },
                              // Every 10 s back from the latest step.
                              afterBuildTicks: (scale) => {
                                scale.ticks = [60, 50, 40, 30, 20, 10, 0].map((k) => ({ value: latest - k }));
                              },
                              ticks: { callback: (t) => (t - latest).toFixed(0) } } },
               plugins: { legend: { labels: { boxWidth: 12 } } } },
  });
}

let lastStored = [-Infinity, -Infinity, -Infinity, -Infinity];
let latest = 0;

function onState(state) {
  scope.received++;
  latest = state.t;
  scope.lags.push(Date.now() / 1000 - state.t);
  if (scope.lags.length > 1000) scope.lags.shift();
  for (let axis = 0; axis < 4; axis++) {
    if (state.t - lastStored[axis] < MIN_STEP_S && !state.s[axis]) continue;
    lastStored[axis] = state.t;
    const sets = scope.charts[axis].data.datasets;
    SERIES.forEach(([key], k) => sets[k].data.push({ x: state.t, y: state[key][axis] }));
    if (state.s[axis]) sets[SERIES.length].data.push({ x: state.t, y: state.o[axis] });
  }
}

function draw() {
  for (const chart of scope.charts) {
    for (const set of chart.data.datasets) {
      while (set.data.length && set.data[0].x < latest - WINDOW_S) set.data.shift();
    }
    chart.options.scales.x.min = latest - WINDOW_S;
    chart.options.scales.x.max = latest;
    chart.update('none');
  }
  if (scope.lags.length) {
    document.getElementById('lag').textContent =
        'lag ' + (1000 * scope.lags[scope.lags.length - 1]).toFixed(0) + ' ms, ' + scope.received + ' steps';
  }
  const badge = document.getElementById('diagnostics');
  const diag = scope.diagnostics;
  if (!diag || Date.now() / 1000 - diag.at > STALE_S) {
    badge.className = 'level-3';
    badge.textContent = 'STALE: no diagnostics from hover_lock';
  } else {
    badge.className = 'level-' + diag.level;
    badge.textContent = ['OK', 'WARN', 'ERROR', 'STALE'][diag.level] + ': ' + diag.message;
  }
}

// Shows the configuration the node runs; the edit fields follow it until the operator types in them.
function onConfig(config) {
  scope.config = config;
  document.getElementById('mode').textContent = config.mode === undefined ? '' : '(mode ' + config.mode + ')';
  for (const item of Object.keys(ITEMS)) {
    document.getElementById('now-' + item).textContent = (config[item] || []).join(' ');
    document.querySelectorAll('#edit-' + item + ' input').forEach((input, k) => {
      if (!input.dataset.edited && config[item]) input.value = config[item][k];
    });
  }
}

function makeEditor() {
  for (const [item, count] of Object.entries(ITEMS)) {
    const cell = document.getElementById('edit-' + item);
    for (let k = 0; k < count; k++) {
      const input = document.createElement('input');
      input.id = item + '-' + k;
      input.addEventListener('input', () => { input.dataset.edited = '1'; });
      cell.appendChild(input);
    }
  }
  document.getElementById('apply').addEventListener('click', apply);
}

// Sends the items whose fields differ from the running configuration; the server checks the numbers.
async function apply() {
  const edits = {};
  for (const [item, count] of Object.entries(ITEMS)) {
    const values = [];
    for (let k = 0; k < count; k++) {
      const text = document.getElementById(item + '-' + k).value.trim();
      values.push(text === '' ? null : Number(text));
    }
    const now = scope.config[item] || [];
    if (values.some((v, k) => v !== now[k])) edits[item] = values;
  }
  const answer = document.getElementById('answer');
  if (!Object.keys(edits).length) {
    answer.className = '';
    answer.textContent = 'nothing changed';
    return;
  }
  let result;
  try {
    const response = await fetch('apply', { method: 'POST', body: JSON.stringify(edits),
                                            headers: { 'Content-Type': 'application/json', 'X-Scope-Token': token } });
    result = await response.json();
  } catch (error) {
    result = { success: false, message: 'no answer from the scope: ' + error };
  }
  answer.className = result.success ? '' : 'refused';
  answer.textContent = (result.success ? 'applied: ' : 'refused: ') + result.message;
  if (result.success) document.querySelectorAll('input').forEach((input) => { delete input.dataset.edited; });
}

function connect() {
  const events = new EventSource('events');
  events.addEventListener('state', (e) => onState(JSON.parse(e.data)));
  events.addEventListener('config', (e) => onConfig(JSON.parse(e.data)));
  events.addEventListener('diagnostics', (e) => {
    scope.diagnostics = Object.assign(JSON.parse(e.data), { at: Date.now() / 1000 });
  });
}

for (let axis = 0; axis < 4; axis++) scope.charts.push(makeChart(axis));
makeEditor();
connect();
setInterval(draw, DRAW_MS);
