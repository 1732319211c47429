// A person's browser for sign-in tests (node browser.mjs URL): fills in the provider's login form,
// follows redirects with their cookies to the application's redirect URL, or hands another scheme to
// the desktop (BROWSER_OPEN, else xdg-open). Trusts the test's CA through NODE_EXTRA_CA_CERTS.
import { spawnSync } from 'node:child_process';

const cookies = new Map();

async function visit(url, init = {}) {
  const headers = { ...init.headers, cookie: [...cookies].map(([k, v]) => `${k}=${v}`).join('; ') };
  const response = await fetch(url, { ...init, headers, redirect: 'manual', signal: AbortSignal.timeout(20000) });
  for (const line of response.headers.getSetCookie()) {
    const [pair] = line.split(';');
    const at = pair.indexOf('=');
    cookies.set(pair.slice(0, at).trim(), pair.slice(at + 1).trim());
  }
  return response;
}

let url = process.argv[2];
let init = {};
for (let step = 0; step < 20; step += 1) {
  const response = await visit(url, init);
  init = {};
  const location = response.headers.get('location');
  if (location) {
    url = new URL(location, url).href;
    const { protocol } = new URL(url);
    if (protocol !== 'http:' && protocol !== 'https:') {
      const handed = spawnSync(process.env.BROWSER_OPEN ?? 'xdg-open', [url], { stdio: 'inherit' });
      console.log(`handed ${protocol} to the desktop: ${handed.status}`);
      process.exit(handed.status === 0 ? 0 : 1);
    }
    continue;
  }
  const body = await response.text();
  const forms = [...body.matchAll(/<form method="post" action="([^"]+)"/g)].map((m) => m[1]);
  const form = forms.find((f) => f.endsWith('/login'));
  if (response.status === 200 && form) {
    url = new URL(form, url).href;
    const fields = new URLSearchParams({ email: process.env.BROWSER_EMAIL ?? '', password: process.env.BROWSER_PASSWORD ?? '' });
    init = { method: 'POST', body: fields.toString(), headers: { 'content-type': 'application/x-www-form-urlencoded' } };
    continue;
  }
  console.log(`${response.status} ${new URL(url).pathname}`);
  process.exit(response.ok ? 0 : 1);
}
console.log('too many redirects');
process.exit(1);
