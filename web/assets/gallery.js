// The gallery page: lists the stored pictures newest first, a page at a
// time, loads each picture when its tile comes into view, opens protected
// pictures in place with their password, stores uploads and reads hidden
// text back. Every form travels as multipart/form-data in a POST body.
'use strict';

const pageSize = 60;

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

// The error message of a failed response, from its JSON body.
async function errorOf(response) {
  try {
    return (await response.json()).error || `HTTP ${response.status}`;
  } catch {
    return `HTTP ${response.status}`;
  }
}

function post(url, fields) {
  const body = new FormData();
  for (const [name, value] of Object.entries(fields)) body.append(name, value);
  return fetch(url, {method: 'POST', body});
}

function pictureUrl(id) {
  return `/pictures/${encodeURIComponent(id)}`;
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

// A lock over a protected picture, with a password box that opens it.
function showLock(tile, message) {
  tile.classList.add('locked');
  const form = element('form', 'lock');
  const password = element('input');
  password.type = 'password';
  password.name = 'password';
  password.placeholder = 'password';
  password.setAttribute('aria-label', `password of ${tile.dataset.id}`);
  form.append(lockIcon.cloneNode(true), password, element('button', '', 'Open'));
  if (message) form.append(element('p', 'error', message));
  form.addEventListener('submit', event => {
    event.preventDefault();
    form.querySelector('button').disabled = true;
    loadTile(tile, password.value);
  });
  tile.querySelector('.frame').replaceChildren(form);
}

// Fetches the tile's picture, with `password` when one is given.
async function loadTile(tile, password) {
  const url = `${pictureUrl(tile.dataset.id)}.png`;
  try {
    const response = password === undefined ? await fetch(url)
                                            : await post(url, {password});
    if (response.ok) showImage(tile, await response.blob());
    else if (response.status === 403)
      showLock(tile, password === undefined ? '' : await errorOf(response));
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

async function loadList() {
  try {
    const response = await fetch('/api/pictures');
    if (!response.ok) {
      galleryStatus.textContent = await errorOf(response);
      return;
    }
    ids = (await response.json()).ids.reverse();
    galleryStatus.textContent = ids.length ? '' : 'No pictures stored yet.';
    count.textContent = ids.length === 1 ? '1 picture' : `${ids.length} pictures`;
    grid.replaceChildren();
    shown = 0;
    showMore();
  } catch (error) {
    galleryStatus.textContent = `cannot list the pictures: ${error.message}`;
  }
}

more.addEventListener('click', showMore);

// -------------------------------------------------------------- storing

async function copy(text, button) {
  try {
    await navigator.clipboard.writeText(text);
    button.textContent = 'Copied';
  } catch {
    button.textContent = 'Select and copy by hand';
  }
}

function showStored(answer) {
  const stored = element('p', '', 'Stored as ');
  stored.append(element('strong', '', answer.id));
  const lines = [stored];
  if (answer.positions !== undefined) {
    const positions = element('code', 'positions', answer.positions);
    const button = element('button', 'quiet', 'Copy positions');
    button.type = 'button';
    button.addEventListener('click', () => copy(answer.positions, button));
    lines.push(element('p', 'warning',
        'These positions are the only key to the hidden text: keep them. ' +
        'Nobody can read it back without them.'),
      positions, button);
  }
  uploadResult.replaceChildren(...lines);
}

uploadForm.addEventListener('submit', async event => {
  event.preventDefault();
  const button = uploadForm.querySelector('button[type=submit]');
  button.disabled = true;
  uploadResult.hidden = false;
  uploadResult.replaceChildren(element('p', '', 'Storing…'));
  try {
    const response = await fetch('/pictures',
                                 {method: 'POST', body: new FormData(uploadForm)});
    if (!response.ok) {
      uploadResult.replaceChildren(element('p', 'error', await errorOf(response)));
      return;
    }
    showStored(await response.json());
    uploadForm.elements.password.value = '';
    await loadList();
  } catch (error) {
    uploadResult.replaceChildren(element('p', 'error', error.message));
  } finally {
    button.disabled = false;
  }
});

// ------------------------------------------------------------ revealing

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
    const answer = await response.json();
    revealResult.replaceChildren(element('p', '', 'Hidden text:'),
                                 element('output', 'hidden-text', answer.text));
  } catch (error) {
    revealResult.replaceChildren(element('p', 'error', error.message));
  } finally {
    button.disabled = false;
  }
});

loadList();
