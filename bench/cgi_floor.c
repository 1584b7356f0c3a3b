/* The floor of the whole-process benchmarks: a static C program that prints a CGI
   answer of the same shape as the sign-in redirect, and nothing else. */
#include <stdio.h>

int main(void) {
  fputs("Status: 302 Found\r\nCache-Control: no-store\r\nPragma: no-cache\r\nLocation: /login\r\n"
        "Set-Cookie: id_session=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0\r\n"
        "X-Content-Type-Options: nosniff\r\n\r\nRedirecting to /login...\n",
        stdout);
  return 0;
}
