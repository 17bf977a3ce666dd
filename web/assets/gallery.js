// The gallery page: lists the stored pictures newest first, a page at a
// time, loads each picture when its tile comes into view, opens protected
// pictures in place with their password and shows their secret, stores
// uploads and reads hidden text back. Every form travels as
// multipart/form-data in a POST body.
'use strict';

const pageSize = 60;

// quarn-web serves each browser at most two connections at once and closes
// any more, so the page never has more requests than that under way.
const requestsAtOnce = 2;
// A request for a picture or the list that fails before an answer (its
// connection closed, say) is tried again after these pauses, in ms.
const retryPauses = [300, 1000];

const grid = document.getElementById('grid');
const more = document.getElementById('more');
const count = document.getElementById('count');
const galleryStatus = document.getElementById('gallery-status');
const uploadForm = document.getElementById('upload');
const uploadResult = document.getElementById('upload-result');
const revealForm = document.getElementById('reveal');
const revealResult = document.getElementById('reveal-result');

let ids = [];  // newest first
let shown = 0;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// --------------------------------------------------------------- requests

let underWay = 0;
const waiting = [];

// The answer to a request, {ok, status, blob}: sent when fewer than
// requestsAtOnce requests are under way, and read whole before the next may
// start, since its connection is busy until then.
function request(url, options) {
  return new Promise((resolve, reject) => {
    waiting.push(async () => {
      try {
        const response = await fetch(url, options);
        resolve({ok: response.ok, status: response.status,
                 blob: await response.blob()});
      } catch (error) {
        reject(error);
      }
    });
    startWaiting();
  });
}

function startWaiting() {
  while (underWay < requestsAtOnce && waiting.length) {
    const start = waiting.shift();
    underWay++;
    start().finally(() => {
      underWay--;
      startWaiting();
    });
  }
}

const pause = ms => new Promise(done => setTimeout(done, ms));

// A GET, tried again when it fails without an answer.
async function get(url) {
  for (const wait of retryPauses) {
    try {
      return await request(url);
    } catch {
      await pause(wait);
    }
  }
  return request(url);
}

// A POST of `fields`, a FormData or an object of names and values.
function post(url, fields) {
  let body = fields;
  if (!(fields instanceof FormData)) {
    body = new FormData();
    for (const [name, value] of Object.entries(fields)) body.append(name, value);
  }
  return request(url, {method: 'POST', body});
}

async function json(answer) {
  return JSON.parse(await answer.blob.text());
}

// The error message of a failed answer, from its JSON body.
async function errorOf(answer) {
  try {
    return (await json(answer)).error || `HTTP ${answer.status}`;
  } catch {
    return `HTTP ${answer.status}`;
  }
}

function pictureUrl(id) {
  return `/pictures/${encodeURIComponent(id)}`;
}

async function copy(text, button) {
  try {
    await navigator.clipboard.writeText(text);
    button.textContent = 'Copied';
  } catch {
    button.textContent = 'Select and copy by hand';
  }
}

function copyButton(label, text) {
  const button = element('button', 'quiet', label);
  button.type = 'button';
  button.addEventListener('click', () => copy(text, button));
  return button;
}

// The first character of `text` that a person cannot read as text (a
// control character, or bytes that were no UTF-8), or null.
function unreadable(text) {
  return /[\u0000-\u0008\u000b\u000c\u000e-\u001f\u007f\ufffd]/.exec(text);
}

// A secret or password is one word of the service's protocol.
function oneWord(value) {
  return !/\s/.test(value);
}

// ------------------------------------------------------------- the grid

const lockIcon = (() => {
  const svgNs = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(svgNs, 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('aria-hidden', 'true');
  const shackle = document.createElementNS(svgNs, 'path');
  shackle.setAttribute('d', 'M7 10V7a5 5 0 0 1 10 0v3');
  shackle.setAttribute('fill', 'none');
  shackle.setAttribute('stroke', 'currentColor');
  shackle.setAttribute('stroke-width', '2');
  const body = document.createElementNS(svgNs, 'rect');
  body.setAttribute('x', '4');
  body.setAttribute('y', '10');
  body.setAttribute('width', '16');
  body.setAttribute('height', '11');
  body.setAttribute('rx', '2');
  body.setAttribute('fill', 'currentColor');
  svg.append(shackle, body);
  return svg;
})();

function showImage(tile, blob) {
  const image = element('img');
  image.alt = tile.dataset.id;
  image.src = URL.createObjectURL(blob);
  tile.classList.remove('locked');
  tile.querySelector('.frame').replaceChildren(image);
}

function showProblem(tile, message) {
  tile.querySelector('.frame').replaceChildren(element('p', 'problem', message));
}

// The secret of an unlocked picture, as text, with a copy button.
function showSecret(tile, secret) {
  const line = element('div', 'secret');
  line.append(element('span', 'label', 'Secret'),
              element('output', '', secret), copyButton('Copy', secret));
  tile.querySelector('figure').append(line);
}

// A lock over a protected picture, with a password box that opens it. After
// a failed attempt the box keeps what was typed, says why and stays ready.
function showLock(tile, message, typed) {
  tile.classList.add('locked');
  const form = element('form', 'lock');
  const password = element('input');
  password.type = 'password';
  password.name = 'password';
  password.placeholder = 'password';
  password.value = typed || '';
  password.setAttribute('aria-label', `password of ${tile.dataset.id}`);
  const button = element('button', '', message ? 'Try again' : 'Open');
  form.append(lockIcon.cloneNode(true), password, button);
  if (message) form.append(element('p', 'error', message));
  form.addEventListener('submit', event => {
    event.preventDefault();
    if (!oneWord(password.value)) {
      showLock(tile, 'A password is one word: no blanks.', password.value);
      return;
    }
    button.disabled = true;
    unlock(tile, password.value);
  });
  tile.querySelector('.frame').replaceChildren(form);
}

// Opens a protected picture: its secret first, which checks the password
// once, then its pixels.
async function unlock(tile, password) {
  const url = pictureUrl(tile.dataset.id);
  try {
    const answer = await post(`${url}/secret`, {password});
    if (!answer.ok) {
      showLock(tile, await errorOf(answer), password);
      return;
    }
    const {secret} = await json(answer);
    const picture = await post(`${url}.png`, {password});
    if (!picture.ok) {
      showLock(tile, await errorOf(picture), password);
      return;
    }
    showImage(tile, picture.blob);
    showSecret(tile, secret);
  } catch (error) {
    showLock(tile, `cannot reach quarn-web: ${error.message}`, password);
  }
}

// Fetches the tile's picture; a protected one shows its lock.
async function loadTile(tile) {
  try {
    const response = await get(`${pictureUrl(tile.dataset.id)}.png`);
    if (response.ok) showImage(tile, response.blob);
    else if (response.status === 403) showLock(tile, '');
    else showProblem(tile, await errorOf(response));
  } catch (error) {
    showProblem(tile, `cannot load: ${error.message}`);
  }
}

// Tiles load their picture when they come near the screen.
const nearScreen = new IntersectionObserver(entries => {
  for (const entry of entries) {
    if (!entry.isIntersecting) continue;
    nearScreen.unobserve(entry.target);
    loadTile(entry.target);
  }
}, {rootMargin: '300px'});

function makeTile(id) {
  const tile = element('li', 'tile');
  tile.dataset.id = id;
  const figure = element('figure');
  const caption = element('figcaption');
  const reveal = element('button', 'quiet', 'reveal…');
  reveal.type = 'button';
  reveal.title = `read text hidden in ${id}`;
  reveal.addEventListener('click', () => {
    revealForm.elements.id.value = id;
    revealForm.elements.positions.focus();
  });
  caption.append(element('span', '', id), reveal);
  figure.append(element('div', 'frame'), caption);
  tile.append(figure);
  nearScreen.observe(tile);
  return tile;
}

function showMore() {
  const page = ids.slice(shown, shown + pageSize);
  grid.append(...page.map(makeTile));
  shown += page.length;
  more.hidden = shown >= ids.length;
}

// Lists the pictures again; `fresh`, a picture just stored, is marked.
async function loadList(fresh) {
  try {
    const response = await get('/api/pictures');
    if (!response.ok) {
      galleryStatus.textContent = await errorOf(response);
      return;
    }
    ids = (await json(response)).ids.reverse();
    galleryStatus.textContent = ids.length ? '' : 'No pictures stored yet.';
    count.textContent = ids.length === 1 ? '1 picture' : `${ids.length} pictures`;
    grid.replaceChildren();
    shown = 0;
    showMore();
    const tile = fresh && grid.querySelector(`.tile[data-id="${CSS.escape(fresh)}"]`);
    if (tile) {
      tile.classList.add('fresh');
      tile.scrollIntoView({block: 'nearest'});
    }
  } catch (error) {
    galleryStatus.textContent = `cannot list the pictures: ${error.message}`;
  }
}

more.addEventListener('click', showMore);

// -------------------------------------------------------------- storing

function showStored(answer) {
  const stored = element('p', '', 'Stored as ');
  stored.append(element('strong', '', answer.id));
  const lines = [stored];
  if (answer.positions !== undefined) {
    lines.push(element('p', 'warning',
        'These positions are the only key to the hidden text: keep them. ' +
        'Nobody can read it back without them.'),
      element('code', 'positions', answer.positions),
      copyButton('Copy positions', answer.positions));
  }
  uploadResult.replaceChildren(...lines);
}

function showUploadError(message) {
  uploadResult.hidden = false;
  uploadResult.replaceChildren(element('p', 'error', message));
}

uploadForm.addEventListener('submit', async event => {
  event.preventDefault();
  const fields = uploadForm.elements;
  if (!oneWord(fields.secret.value) || !oneWord(fields.password.value)) {
    showUploadError('The secret and the password are one word each: no ' +
                    'blanks or line breaks.');
    return;
  }
  const button = uploadForm.querySelector('button[type=submit]');
  button.disabled = true;
  uploadResult.hidden = false;
  uploadResult.replaceChildren(element('p', '', 'Storing…'));
  try {
    const response = await post('/pictures', new FormData(uploadForm));
    if (!response.ok) {
      showUploadError(await errorOf(response));
      return;
    }
    const answer = await json(response);
    showStored(answer);
    // A second click must not store the same picture again.
    fields.file.value = '';
    fields.secret.value = '';
    fields.password.value = '';
    await loadList(answer.id);
  } catch (error) {
    showUploadError(error.message);
  } finally {
    button.disabled = false;
  }
});

// ------------------------------------------------------------ revealing

function showRevealed(answer) {
  const lines = [element('p', '', 'Hidden text:'),
                 element('output', 'hidden-text', answer.text)];
  if (answer.note) lines.push(element('p', 'warning', answer.note));
  else if (unreadable(answer.text))
    lines.push(element('p', 'warning',
        'This is no readable text: the positions may be wrong, or belong to ' +
        'another picture.'));
  revealResult.replaceChildren(...lines);
}

revealForm.addEventListener('submit', async event => {
  event.preventDefault();
  const fields = revealForm.elements;
  const button = revealForm.querySelector('button[type=submit]');
  button.disabled = true;
  revealResult.hidden = false;
  try {
    const response = await post(`${pictureUrl(fields.id.value.trim())}/reveal`,
                                {positions: fields.positions.value,
                                 password: fields.password.value});
    if (!response.ok) {
      revealResult.replaceChildren(element('p', 'error', await errorOf(response)));
      return;
    }
    showRevealed(await json(response));
  } catch (error) {
    revealResult.replaceChildren(element('p', 'error', error.message));
  } finally {
    button.disabled = false;
  }
});

loadList();
