// Load and faults on a team deployment on loopback: three text and two identity service instances on
// one PostgreSQL behind HAProxy (tests/deploy/deployment.mjs). `clients` clients with real access
// tokens translate and improve for `seconds`, each renewing its tokens every 10 s; halfway, one text
// and one identity instance are killed (SIGKILL). 50 renewals race on one refresh token across
// the identity instances (before the load). Prints requests per second, p50/p99 latency, failures, how long HAProxy
// took to take the dead instances out, and how many racing renewals won.
//   node bench/team_load.mjs [--clients 200] [--seconds 60]
import { Agent } from 'node:https';
import { parseArgs } from 'node:util';

import { renew, request, signIn } from '../services/identity/test/team.mjs';
import { startDeployment } from '../tests/deploy/deployment.mjs';

const { values: options } = parseArgs({
  options: { clients: { type: 'string', default: '200' }, seconds: { type: 'string', default: '60' } },
});
const clients = Number(options.clients);
const seconds = Number(options.seconds);

const deployment = await startDeployment({ identityCount: 2, textCount: 3, lifetime: seconds + 120 });
const { issuer, text, ca } = deployment;
const agent = new Agent({ keepAlive: true, maxSockets: clients + 10, ca });
const latencies = [];
const failures = new Map();
const fail = (what) => failures.set(what, (failures.get(what) ?? 0) + 1);

// Twenty sign-ins; their tokens are shared, ten clients to a token, as ten devices of a person.
const sessions = [];
for (let i = 0; i < Math.min(20, clients); i += 1) {
  sessions.push(await signIn(issuer, deployment.login, deployment.password, ca));
}

// 50 renewals racing on one refresh token, spread over both identity instances by the balancer.
const raced = await signIn(issuer, deployment.login, deployment.password, ca);
const race = await Promise.all(Array.from({ length: 50 }, () => renew(issuer, raced.refresh_token, ca)));
const won = race.filter((answer) => answer.status === 200).length;
const refused = race.filter((answer) => answer.body?.error === 'invalid_grant').length;

const texts = ['The house is big and the garden is small.', 'i think their going to the market tomorow'];
const end = Date.now() + seconds * 1000;
async function client(index) {
  const session = sessions[index % sessions.length];
  let renewAt = Date.now() + 10000;
  for (let i = 0; Date.now() < end; i += 1) {
    if (index < sessions.length && Date.now() > renewAt) {
      renewAt += 10000;
      const renewed = await renew(issuer, session.refresh_token, ca).catch((error) => ({ status: error.code }));
      if (renewed.status === 200) Object.assign(session, renewed.body);
      else fail(`renewal ${renewed.status}`);
    }
    const translate = (index + i) % 2 === 0;
    const started = performance.now();
    const answer = await request(`${text}v1/${translate ? 'translate' : 'improve'}`, {
      method: 'POST',
      headers: { authorization: `Bearer ${session.access_token}` },
      body: translate ? { q: texts[0], source: 'en', target: 'es' } : { q: texts[1] },
      ca,
      agent,
    }).catch((error) => ({ status: error.code }));
    latencies.push(performance.now() - started);
    if (answer.status !== 200) fail(`${translate ? 'translate' : 'improve'} ${answer.status}`);
  }
}

let outAfter;
const killer = new Promise((resolve) => {
  setTimeout(() => {
    const killedAt = Date.now();
    deployment.identities[0].process.kill('SIGKILL');
    deployment.texts[0].process.kill('SIGKILL');
    const watch = setInterval(() => {
      if (/identity1 is DOWN/.test(deployment.log()) && /text1 is DOWN/.test(deployment.log())) {
        outAfter = Date.now() - killedAt;
        clearInterval(watch);
        resolve();
      } else if (Date.now() > killedAt + 30000) {
        clearInterval(watch);
        resolve();
      }
    }, 20);
  }, (seconds * 1000) / 2);
});
const startedAt = Date.now();
await Promise.all([...Array.from({ length: clients }, (_, i) => client(i)), killer]);
const elapsed = (Date.now() - startedAt) / 1000;

latencies.sort((a, b) => a - b);
const percentile = (p) => latencies[Math.min(latencies.length - 1, Math.floor((latencies.length * p) / 100))].toFixed(1);
process.stdout.write(`${clients} clients, ${elapsed.toFixed(1)} s: ${latencies.length} requests, `
  + `${(latencies.length / elapsed).toFixed(0)} per second, p50 ${percentile(50)} ms, p99 ${percentile(99)} ms\n`);
process.stdout.write(`failures: ${failures.size ? JSON.stringify(Object.fromEntries(failures)) : 'none'}\n`);
process.stdout.write(`racing renewals: ${won} new set, ${refused} invalid_grant of 50\n`);
process.stdout.write(`dead instances out after: ${outAfter ?? 'more than 30000'} ms\n`);
agent.destroy();
await deployment.stop();
