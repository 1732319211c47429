// What the team deployment's tests share: a certificate for 127.0.0.1, identity service instances
// on one database, HTTPS requests trusting that certificate, and a sign-in through the login form.
import { execFileSync, spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { request as httpsRequest } from 'node:https';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const server = fileURLToPath(new URL('../server.mjs', import.meta.url));
export const clientId = 'parlomatic-dev';
export const redirectUri = 'http://127.0.0.1/callback';

// A self-signed certificate for 127.0.0.1 in `folder`: cert.pem, key.pem, and both in one.pem (HAProxy's).
export function makeCertificate(folder) {
  const cert = join(folder, 'cert.pem');
  const key = join(folder, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-days', '1',
    '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert], { stdio: 'ignore' });
  return { cert, key, ca: readFileSync(cert) };
}

// A process that prints `pattern` once ready; resolves to { process, match }. Ended by its PID.
export function startProcess(command, args, pattern, options = {}) {
  const child = spawn(command, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${command} did not start: ${output}`)), 30000);
    const read = (chunk) => {
      output += chunk;
      const match = pattern.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve({ process: child, match });
      }
    };
    child.stdout.on('data', read);
    child.stderr.on('data', (chunk) => { output += chunk; });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${command} ended (${code}): ${output}`));
    });
  });
}

export async function startIdentity({ certificate, database, issuer, port = '0', audience }) {
  const args = [server, '--cert', certificate.cert, '--key', certificate.key, '--database', database, '--port', String(port),
    '--lifetime', '300', ...(issuer ? ['--issuer', issuer] : []), ...(audience ? ['--audience', audience] : [])];
  const { process: child, match } = await startProcess(process.execPath, args, /port (\d+)\n/);
  return { process: child, port: Number(match[1]) };
}

export function stopProcess(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    child.once('exit', resolve);
    child.kill('SIGTERM');
  });
}

// One HTTPS request; resolves to { status, headers, body } (body parsed when JSON).
export function request(url, {
  method = 'GET', headers = {}, body, ca, agent = false,
} = {}) {
  return new Promise((resolve, reject) => {
    const data = typeof body === 'string' || body === undefined ? body : JSON.stringify(body);
    const sent = httpsRequest(url, {
      method, ca, agent, headers: { ...(typeof body === 'object' ? { 'content-type': 'application/json' } : {}), ...headers },
    }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => {
        let parsed = text;
        if (/json/.test(response.headers['content-type'] ?? '')) parsed = JSON.parse(text);
        resolve({ status: response.statusCode, headers: response.headers, body: parsed });
      });
    });
    sent.on('error', reject);
    sent.end(data);
  });
}

// Signs `login` in through the login form, as the desktop's browser would, and redeems the code:
// the token response ({ access_token, refresh_token, id_token, ... }).
export async function signIn(base, login, password, ca) {
  const verifier = randomBytes(32).toString('base64url');
  const challenge = createHash('sha256').update(verifier).digest('base64url');
  const query = new URLSearchParams({
    client_id: clientId, redirect_uri: redirectUri, response_type: 'code', scope: 'openid offline_access email profile',
    code_challenge: challenge, code_challenge_method: 'S256', state: 'state',
  });
  const cookies = new Map();
  let url = `${base}authorize?${query}`;
  let form;
  for (let step = 0; step < 12; step += 1) {
    const response = await request(url, {
      method: form ? 'POST' : 'GET',
      headers: {
        cookie: [...cookies].map(([name, value]) => `${name}=${value}`).join('; '),
        ...(form ? { 'content-type': 'application/x-www-form-urlencoded' } : {}),
      },
      body: form,
      ca,
    });
    form = undefined;
    for (const cookie of response.headers['set-cookie'] ?? []) {
      const [pair] = cookie.split(';');
      const at = pair.indexOf('=');
      cookies.set(pair.slice(0, at), pair.slice(at + 1));
    }
    const location = response.headers.location;
    if (location?.startsWith(redirectUri)) {
      const code = new URL(location).searchParams.get('code');
      return (await request(`${base}oauth/token`, {
        method: 'POST',
        body: { grant_type: 'authorization_code', client_id: clientId, code, code_verifier: verifier, redirect_uri: redirectUri },
        ca,
      })).body;
    }
    if (location) {
      url = new URL(location, url).href;
    } else if (response.status === 200 && /\/login"/.test(response.body)) {
      url = new URL(/action="([^"]+\/login)"/.exec(response.body)[1], url).href;
      form = new URLSearchParams({ email: login, password }).toString();
    } else {
      throw new Error(`sign-in stopped at ${response.status}`);
    }
  }
  throw new Error('sign-in went round in circles');
}

export const renew = (base, refreshToken, ca) => request(`${base}oauth/token`, {
  method: 'POST', body: { grant_type: 'refresh_token', client_id: clientId, refresh_token: refreshToken }, ca,
});
